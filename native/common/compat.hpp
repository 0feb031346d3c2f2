// Every interpreter-version branch of both modules (nefa._nefa and
// nefa._native), in one place.
// All functions require the interpreter lock.
#pragma once

#include "common/refs.hpp"

#include <cstring>

#include <cstdint>

// Both modules read the interpreter's frames and code objects as each of
// these versions lays them out: anything else would build and misread them.
#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "nefa supports CPython 3.11, 3.12 and 3.13 only"
#endif
#ifdef Py_GIL_DISABLED
#error "nefa supports CPython 3.11, 3.12 and 3.13 only, not free-threaded builds"
#endif

namespace nefa::compat {

// The frame's code object. New reference; never null.
inline Ref frame_code(PyFrameObject* frame) { return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame))); }

// The calling frame, or null for the outermost one. New reference.
inline Ref frame_back(PyFrameObject* frame) { return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame))); }

// The frame's globals dict. New reference; never null.
inline Ref frame_globals(PyFrameObject* frame) { return Ref::steal(PyFrame_GetGlobals(frame)); }

// The code's file name and name (borrowed; the code object keeps them).
inline PyObject* code_filename(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_filename; }
inline PyObject* code_name(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_name; }
inline PyObject* code_qualname(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_qualname; }

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// The locals of a running function frame, as the interpreter's snapshot
// gives them; null (no error) for a frame it leaves to the interpreter.
// New reference (compat_locals.cpp).
Ref function_locals_snapshot(PyFrameObject* frame);
#endif

// The variables of a running function frame whose variables are all plain
// locals (no cells, free or hidden variables, nothing added through
// f_locals): the bound ones, in the order the interpreter's locals dict
// lists them, into names[] and values[] (borrowed, valid while the frame
// runs). Their count, or -1 for any other frame or one with more than
// `capacity` variables (compat_locals.cpp).
int plain_function_locals(PyFrameObject* frame, PyObject** names, PyObject** values, int capacity);

// The frame's locals as a dict the caller may serialise: the interpreter's
// own dict where it keeps one (module and class bodies, and function frames
// before 3.13), otherwise (3.13's write-through proxy) a snapshot copy that
// leaves the frame untouched. New reference.
inline Ref frame_locals_dict(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030D0000
    // The frame of the running code (what both engines hand us): the
    // interpreter's own snapshot, without a proxy object or a method call
    // of ours. Any other frame: a copy of its proxy.
    if (frame == PyEval_GetFrame()) {
#if PY_VERSION_HEX < 0x030E0000
        if (Ref snapshot = function_locals_snapshot(frame)) return snapshot;
#endif
        return Ref::require(PyEval_GetFrameLocals());
    }
    Ref locals = Ref::require(PyFrame_GetLocals(frame));
    if (PyDict_Check(locals.get())) return locals;
    static PyObject* copy_name = Require(PyUnicode_InternFromString("copy"));
    return Ref::require(PyObject_CallMethodNoArgs(locals.get(), copy_name));
#else
    return Ref::require(PyFrame_GetLocals(frame));
#endif
}

// An int small enough to sit in one machine word inside the object (the
// interpreter's "compact" ints: nearly every int met): its value, read
// without a call. False for any other int.
inline bool compact_int_value(PyObject* value, std::int64_t* out) {
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(value);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    *out = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(value);
    if (size < -1 || size > 1) return false;
    *out = static_cast<std::int64_t>(size) *
           static_cast<std::int64_t>(reinterpret_cast<PyLongObject*>(value)->ob_digit[0]);
    return true;
#endif
}

// The frame's current instruction as a byte offset into its code, or -1.
inline int frame_lasti(PyFrameObject* frame) { return PyFrame_GetLasti(frame); }

// Code units in a code object (its instructions, cached or not).
inline Py_ssize_t code_units(PyObject* code) { return Py_SIZE(code); }

// Whether the calling thread has a trace function (sys.settrace): then a
// frame's line may have been set by it, not by its instruction. `thread` is
// the calling thread's state, when the caller has it already.
inline bool thread_is_traced(PyThreadState* thread) { return thread->c_tracefunc != nullptr; }
inline bool thread_is_traced() { return thread_is_traced(PyThreadState_Get()); }

// PyErr_Occurred for the calling thread's state `thread`, without a call.
inline bool error_pending(PyThreadState* thread) {
#if PY_VERSION_HEX >= 0x030C0000
    return thread->current_exception != nullptr;
#else
    (void)thread;
    return PyErr_Occurred() != nullptr;
#endif
}

// sys.monitoring (tool ids, per-code DISABLE) exists from 3.12 on.
inline constexpr bool has_monitoring = PY_VERSION_HEX >= 0x030C0000;

// The argument of the call event that the profile hook gives for a throw
// into a generator or coroutine: the exception on 3.12, None from 3.13 on.
// The monitoring engine gives the same. Borrowed.
inline PyObject* throw_call_argument(PyObject* exception) {
#if PY_VERSION_HEX < 0x030D0000
    return exception;
#else
    (void)exception;
    return Py_None;
#endif
}

// The frame of the code running on this thread, made into a frame object if
// it was not one yet; null when there is none. Borrowed: the interpreter
// keeps it while the code runs.
inline PyFrameObject* current_frame() { return PyEval_GetFrame(); }

// The interpreter's own record of a running Python frame, which a frame
// object only wraps: read directly where the layout is known, so that a
// recorded event need not make the interpreter build a frame object.
// Everything below reads a frame that is running on this thread (the
// current one, or one of its callers); compat_frames.cpp.
using InterpreterFrame = struct _PyInterpreterFrame;

// Whether this interpreter's frame layout is known here (3.12, 3.13).
inline constexpr bool reads_interpreter_frames = PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000;

// What an event reads of the running frame, none of which changes while
// the event is handled: its code and globals (borrowed), the frame below it
// in the thread's chain (compared only, never read through), its current
// instruction as a byte offset (-1 for none, as PyFrame_GetLasti), and the
// state of the thread it runs on (read once per event).
struct RunningFrame {
    InterpreterFrame* frame = nullptr;
    PyThreadState* thread = nullptr;
    PyObject* code = nullptr;
    PyObject* globals = nullptr;
    const InterpreterFrame* below = nullptr;
    int lasti = -1;
};

// The frame running on this thread, as PyEval_GetFrame finds it, if it runs
// `code`, and the frame object made for it so far (may be null); false
// otherwise (or where the layout is not known), and nothing is written.
bool running_frame_of(PyObject* code, RunningFrame& out, PyFrameObject** object);

// The frame object made for the running `frame` so far (borrowed, may be null).
PyFrameObject* existing_frame_object(InterpreterFrame* frame);

// The frame object of the thread's current frame `frame`, made now if there
// was none (borrowed: the frame keeps it). Null if it cannot be had.
PyFrameObject* frame_object(InterpreterFrame* frame);

// The running frame's line as PyFrame_GetLineNumber reads it (-1 for none).
int frame_line(InterpreterFrame* frame);

// The calling frame of the running `frame`, as PyFrame_GetBack finds it, and
// its code (borrowed); null for none.
InterpreterFrame* frame_caller(InterpreterFrame* frame, PyObject** code);

// If `target` is among the frames below the running `now` (so still
// running) and still runs `code` over the frame `below`: its current
// instruction (as RunningFrame::lasti). Otherwise -2, and `target` was only
// compared, never read: it may be a frame long returned.
int lasti_if_running_below(InterpreterFrame* now, InterpreterFrame* target, PyObject* code,
                           const InterpreterFrame* below);

// plain_function_locals for the current frame `frame` of the thread whose state is `thread`.
int plain_function_locals(InterpreterFrame* frame, PyThreadState* thread, PyObject** names, PyObject** values,
                          int capacity);

// A dict's version: a process-wide counter value that the interpreter
// renews on every change of the dict, so an unchanged number means an
// unchanged dict (3.11 to 3.13). Nothing when the interpreter keeps none.
inline constexpr bool has_dict_versions = PY_VERSION_HEX < 0x030E0000;

inline std::uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)dict;
    return 0;
#endif
}

// Per-code-object extra slots, for caching what depends only on the code.
inline Py_ssize_t request_code_extra_index(freefunc free) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Eval_RequestCodeExtraIndex(free);
#else
    return _PyEval_RequestCodeExtraIndex(free);
#endif
}

// Borrowed pointer stored in the slot, or null. Returns -1 with an error set on failure.
inline int code_get_extra(PyObject* code, Py_ssize_t index, void** extra) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_GetExtra(code, index, extra);
#else
    return _PyCode_GetExtra(code, index, extra);
#endif
}

// The extra slot `index` of a code object through the interpreter's
// function, or null when unset or unreadable (the error cleared).
inline void* code_extra_by_api(PyObject* code, Py_ssize_t index) {
    void* found = nullptr;
    if (code_get_extra(code, index, &found) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return found;
}

// The same, read in place: co_extra's layout (a count, then the slots) is
// the same from 3.11 to 3.13, and this runs on every event of recorded code.
inline void* existing_code_extra(PyObject* code, Py_ssize_t index) {
#if PY_VERSION_HEX < 0x030E0000
    const void* extra = reinterpret_cast<PyCodeObject*>(code)->co_extra;
    if (extra == nullptr) return nullptr;
    Py_ssize_t size = 0;
    std::memcpy(&size, extra, sizeof size);
    if (index >= size) return nullptr;
    return reinterpret_cast<void* const*>(static_cast<const char*>(extra) + sizeof(Py_ssize_t))[index];
#else
    return code_extra_by_api(code, index);
#endif
}

inline int code_set_extra(PyObject* code, Py_ssize_t index, void* extra) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_SetExtra(code, index, extra);
#else
    return _PyCode_SetExtra(code, index, extra);
#endif
}

// A tag that changes whenever the type's attributes do (its __module__ and
// __qualname__ among them), unique among the types alive in the process;
// 0 when the type has none to give. Tags are not reused, so a type and its
// tag name one state of one type.
inline unsigned int type_version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030C0000
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
    if (type->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(type);
    return type->tp_version_tag;
#endif
}

// Makes a str's characters readable through PyUnicode_DATA (3.11 may still
// meet a legacy string). 0, or -1 with an error set.
inline int unicode_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

}  // namespace nefa::compat
