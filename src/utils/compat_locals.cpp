// The locals snapshot of a running function frame on 3.13, read straight
// from the interpreter frame. The interpreter's own snapshot
// (PyEval_GetFrameLocals) makes a write-through proxy, a list of its keys and
// a dict from them, which costs more than the rest of a recorded event; this
// builds the same dict in one pass over the frame's variables.
//
// Most recorded functions have only plain local variables: those are read
// straight from the frame on every version, with no dict at all.
//
// Interpreter lock held. Internal layout: compiled for the versions where it
// was checked against the interpreter's snapshot on the same frames.
#include "common/compat.hpp"

#if PY_VERSION_HEX < 0x030E0000
#define Py_BUILD_CORE 1
#include "internal/pycore_code.h"
#include "internal/pycore_frame.h"
#undef Py_BUILD_CORE
#endif

namespace nefa::compat {

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000

Ref function_locals_snapshot(PyFrameObject* frame) {
    // Names added through the proxy, and variables of an inlined
    // comprehension that are bound right now, follow rules of the
    // interpreter's own: leave those frames to it.
    if (frame->f_extra_locals != nullptr) return Ref{};
    _PyInterpreterFrame* running = frame->f_frame;
    PyCodeObject* code = _PyFrame_GetCode(running);
    if ((code->co_flags & CO_OPTIMIZED) == 0) return Ref{};
    Ref snapshot = Ref::require(PyDict_New());
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        PyObject* value = running->localsplus[i];
        if (value == nullptr) continue;
        const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
        if (kind & CO_FAST_HIDDEN) return Ref{};
        // A cell variable or a free variable holds its cell; an inlined
        // comprehension's variable of the same name may hold a plain value.
        if ((kind == CO_FAST_FREE || (kind & CO_FAST_CELL)) && PyCell_Check(value)) {
            value = PyCell_GET(value);
            if (value == nullptr) continue;
        }
        Require(PyDict_SetItem(snapshot.get(), PyTuple_GET_ITEM(code->co_localsplusnames, i), value));
    }
    return snapshot;
}

#endif

#if PY_VERSION_HEX < 0x030E0000

namespace {

// The variables of the running function frame `running`, which nothing has
// added names to.
int plain_locals_of(_PyInterpreterFrame* running, PyObject** names, PyObject** values, int capacity) {
#if PY_VERSION_HEX >= 0x030D0000
    PyCodeObject* code = _PyFrame_GetCode(running);
#else
    // A dict of the frame's locals exists once something asked for it (a
    // debugger, frame.f_locals): it may hold names written into it.
    if (running->f_locals != nullptr) return -1;
    PyCodeObject* code = running->f_code;
#endif
    if ((code->co_flags & CO_OPTIMIZED) == 0 || code->co_nlocalsplus > capacity) return -1;
    if (code->co_nlocalsplus == 0) return 0;
#if PY_VERSION_HEX < 0x030D0000
    // A frame with no stack left has been cleared.
    if (running->stacktop == 0) return -1;
#endif
    int count = 0;
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        // Cells, free variables and an inlined comprehension's hidden ones
        // follow rules of the interpreter's own.
        if (_PyLocals_GetKind(code->co_localspluskinds, i) != CO_FAST_LOCAL) return -1;
        PyObject* value = running->localsplus[i];
        if (value == nullptr) continue;
        names[count] = PyTuple_GET_ITEM(code->co_localsplusnames, i);
        values[count] = value;
        ++count;
    }
    return count;
}

}  // namespace

int plain_function_locals(PyFrameObject* frame, PyObject** names, PyObject** values, int capacity) {
#if PY_VERSION_HEX >= 0x030D0000
    // Names added through the proxy live outside the frame's variables.
    if (frame->f_extra_locals != nullptr || frame != PyEval_GetFrame()) return -1;
#endif
    return plain_locals_of(frame->f_frame, names, values, capacity);
}

#else

int plain_function_locals(PyFrameObject*, PyObject**, PyObject**, int) { return -1; }

#endif

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000

int plain_function_locals(InterpreterFrame* frame, PyThreadState* thread, PyObject** names, PyObject** values,
                          int capacity) {
#if PY_VERSION_HEX >= 0x030D0000
    // As for a frame object: the thread's current frame only, and none with
    // names added through a proxy (only a frame object can have them).
    if (frame != _PyThreadState_GetFrame(thread)) return -1;
    if (frame->frame_obj != nullptr && frame->frame_obj->f_extra_locals != nullptr) return -1;
#else
    (void)thread;
#endif
    return plain_locals_of(frame, names, values, capacity);
}

#else

int plain_function_locals(InterpreterFrame*, PyThreadState*, PyObject**, PyObject**, int) { return -1; }

#endif

}  // namespace nefa::compat
