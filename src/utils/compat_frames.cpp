// Reading a running frame from the interpreter's own frame record, with no
// frame object: on 3.12 and 3.13 asking for a frame object makes the
// interpreter build one for every recorded call, which costs more than
// everything a record reads from the frame.
//
// Interpreter lock held. Every frame given here is running on this thread;
// one that may have returned is never passed in, only compared (frame_below
// walks the chain from a running frame and never reads its target).
#include "utils/compat.hpp"

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

_PyInterpreterFrame* thread_top_frame() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_Get()->current_frame;
#else
    return PyThreadState_Get()->cframe->current_frame;
#endif
}

}  // namespace

InterpreterFrame* running_frame_of(PyObject* code) {
    _PyInterpreterFrame* frame = _PyFrame_GetFirstComplete(thread_top_frame());
    if (frame == nullptr || reinterpret_cast<PyObject*>(code_of(frame)) != code) return nullptr;
    return frame;
}

PyObject* frame_code(InterpreterFrame* frame) { return reinterpret_cast<PyObject*>(code_of(frame)); }

PyFrameObject* existing_frame_object(InterpreterFrame* frame) { return frame->frame_obj; }

PyObject* frame_globals(InterpreterFrame* frame) { return frame->f_globals; }

int frame_lasti(InterpreterFrame* frame) {
    const int lasti = _PyInterpreterFrame_LASTI(frame);
    return lasti < 0 ? -1 : lasti * static_cast<int>(sizeof(_Py_CODEUNIT));
}

int frame_line(InterpreterFrame* frame) {
    // A frame object may carry a line set by a trace function.
    if (frame->frame_obj != nullptr) return PyFrame_GetLineNumber(frame->frame_obj);
    return PyUnstable_InterpreterFrame_GetLine(frame);
}

PyFrameObject* frame_object(InterpreterFrame* frame) {
    if (frame->frame_obj != nullptr) return frame->frame_obj;
    // Only the thread's current frame is ever asked for: the interpreter
    // makes it, and it must be this very frame.
    PyFrameObject* made = PyEval_GetFrame();
    return made != nullptr && made->f_frame == frame ? made : nullptr;
}

InterpreterFrame* frame_previous(InterpreterFrame* frame) { return frame->previous; }

InterpreterFrame* frame_caller(InterpreterFrame* frame) { return _PyFrame_GetFirstComplete(frame->previous); }

bool frame_below(InterpreterFrame* frame, const InterpreterFrame* target) {
    for (_PyInterpreterFrame* below = frame->previous; below != nullptr; below = below->previous) {
        if (below == target) return true;
    }
    return false;
}

#else

// Nothing known of the layout: every caller keeps to frame objects.
InterpreterFrame* running_frame_of(PyObject*) { return nullptr; }
PyObject* frame_code(InterpreterFrame*) { return nullptr; }
PyFrameObject* existing_frame_object(InterpreterFrame*) { return nullptr; }
PyObject* frame_globals(InterpreterFrame*) { return nullptr; }
int frame_lasti(InterpreterFrame*) { return -1; }
int frame_line(InterpreterFrame*) { return -1; }
PyFrameObject* frame_object(InterpreterFrame*) { return nullptr; }
InterpreterFrame* frame_previous(InterpreterFrame*) { return nullptr; }
InterpreterFrame* frame_caller(InterpreterFrame*) { return nullptr; }
bool frame_below(InterpreterFrame*, const InterpreterFrame*) { return false; }

#endif

}  // namespace nefa::compat
