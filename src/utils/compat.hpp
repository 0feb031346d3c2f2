// Every interpreter-version branch of the module, in one place.
// All functions require the interpreter lock.
#pragma once

#include "utils/refs.hpp"

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000
#error "nefa needs CPython 3.11 or later"
#endif

namespace nefa::compat {

// The frame's code object. New reference; never null.
inline Ref frame_code(PyFrameObject* frame) {
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
}

// The calling frame, or null for the outermost one. New reference.
inline Ref frame_back(PyFrameObject* frame) {
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
}

// The frame's globals dict. New reference; never null.
inline Ref frame_globals(PyFrameObject* frame) { return Ref::steal(PyFrame_GetGlobals(frame)); }

// The code's file name and name (borrowed; the code object keeps them).
inline PyObject* code_filename(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_filename; }
inline PyObject* code_name(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_name; }
inline PyObject* code_qualname(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_qualname; }

// The frame's locals as a dict the caller may serialise: the interpreter's
// own dict where it keeps one (module and class bodies, and function frames
// before 3.13), otherwise (3.13's write-through proxy) a snapshot copy that
// leaves the frame untouched. New reference.
inline Ref frame_locals_dict(PyFrameObject* frame) {
    Ref locals = Ref::require(PyFrame_GetLocals(frame));
    if (PyDict_Check(locals.get())) return locals;
#if PY_VERSION_HEX >= 0x030D0000
    static PyObject* copy_name = Require(PyUnicode_InternFromString("copy"));
    return Ref::require(PyObject_CallMethodNoArgs(locals.get(), copy_name));
#else
    return locals;
#endif
}

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

inline int code_set_extra(PyObject* code, Py_ssize_t index, void* extra) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_SetExtra(code, index, extra);
#else
    return _PyCode_SetExtra(code, index, extra);
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

// The SQLite handle of a sqlite3.Connection: the first field after the
// object header in the versions known here (3.11 to 3.14); null elsewhere,
// and the caller falls back to the Python API.
inline void* sqlite_connection_handle(PyObject* connection) {
#if PY_VERSION_HEX < 0x030F0000
    struct ConnectionHead {
        PyObject_HEAD
        void* db;
    };
    return reinterpret_cast<ConnectionHead*>(connection)->db;
#else
    (void)connection;
    return nullptr;
#endif
}

}  // namespace nefa::compat
