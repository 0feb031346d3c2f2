// Reading a running frame from the interpreter's own frame record, with no
// frame object: on 3.12 and 3.13 asking for a frame object makes the
// interpreter build one for every recorded call, which costs more than
// everything a record reads from the frame.
//
// Interpreter lock held. A frame that may have returned is never read:
// lasti_if_running_below walks the chain down from a running frame and reads
// its target only once found there.
#include "common/compat.hpp"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
#define Py_BUILD_CORE 1
#include "internal/pycore_code.h"
#include "internal/pycore_frame.h"
#undef Py_BUILD_CORE
#endif

namespace nefa::compat {

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000

namespace {

PyCodeObject* code_of(_PyInterpreterFrame* frame) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyFrame_GetCode(frame);
#else
    return frame->f_code;
#endif
}

_PyInterpreterFrame* thread_top_frame(PyThreadState* thread) {
#if PY_VERSION_HEX >= 0x030D0000
    return thread->current_frame;
#else
    return thread->cframe->current_frame;
#endif
}

int lasti_of(_PyInterpreterFrame* frame) {
    const int lasti = _PyInterpreterFrame_LASTI(frame);
    return lasti < 0 ? -1 : lasti * static_cast<int>(sizeof(_Py_CODEUNIT));
}

}  // namespace

bool running_frame_of(PyObject* code, RunningFrame& out, PyFrameObject** object) {
    PyThreadState* thread = PyThreadState_Get();
    _PyInterpreterFrame* frame = _PyFrame_GetFirstComplete(thread_top_frame(thread));
    if (frame == nullptr || reinterpret_cast<PyObject*>(code_of(frame)) != code) return false;
    out.frame = frame;
    out.thread = thread;
    out.code = code;
    // What PyFrame_GetGlobals gives.
    out.globals = frame->f_globals != nullptr ? frame->f_globals : Py_None;
    out.below = frame->previous;
    out.lasti = lasti_of(frame);
    *object = frame->frame_obj;
    return true;
}

PyFrameObject* existing_frame_object(InterpreterFrame* frame) { return frame->frame_obj; }

PyFrameObject* frame_object(InterpreterFrame* frame) {
    if (frame->frame_obj != nullptr) return frame->frame_obj;
    // Only the thread's current frame is ever asked for: the interpreter
    // makes it, and it must be this very frame.
    PyFrameObject* made = PyEval_GetFrame();
    return made != nullptr && made->f_frame == frame ? made : nullptr;
}

int frame_line(InterpreterFrame* frame) {
    // A frame object may carry a line set by a trace function.
    if (frame->frame_obj != nullptr) return PyFrame_GetLineNumber(frame->frame_obj);
    return PyUnstable_InterpreterFrame_GetLine(frame);
}

InterpreterFrame* frame_caller(InterpreterFrame* frame, PyObject** code) {
    _PyInterpreterFrame* caller = _PyFrame_GetFirstComplete(frame->previous);
    *code = caller != nullptr ? reinterpret_cast<PyObject*>(code_of(caller)) : nullptr;
    return caller;
}

int lasti_if_running_below(InterpreterFrame* now, InterpreterFrame* target, PyObject* code,
                           const InterpreterFrame* below) {
    for (_PyInterpreterFrame* frame = now->previous; frame != nullptr; frame = frame->previous) {
        if (frame != target) continue;
        // Running: now it may be read. The same code over the same frame
        // below: the same call as the one remembered.
        if (reinterpret_cast<PyObject*>(code_of(frame)) != code || frame->previous != below) return -2;
        return lasti_of(frame);
    }
    return -2;
}

#else

// Nothing known of the layout: every caller keeps to frame objects.
bool running_frame_of(PyObject*, RunningFrame&, PyFrameObject**) { return false; }
PyFrameObject* existing_frame_object(InterpreterFrame*) { return nullptr; }
PyFrameObject* frame_object(InterpreterFrame*) { return nullptr; }
int frame_line(InterpreterFrame*) { return -1; }
InterpreterFrame* frame_caller(InterpreterFrame*, PyObject** code) {
    *code = nullptr;
    return nullptr;
}
int lasti_if_running_below(InterpreterFrame*, InterpreterFrame*, PyObject*, const InterpreterFrame*) { return -2; }

#endif

}  // namespace nefa::compat
