// Owned and borrowed references to Python objects, and the error types that
// carry failures through C++ code up to the one place that reports them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace nefa {

// Thrown when a Python exception is set; the exception itself stays in the
// interpreter's error indicator until the catching entry point decides.
struct PyErrOccurred {};

// A broken invariant of the interpreter, the host package or our own state.
// Surfaces in Python as the module's internal-error exception.
struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline PyObject* Require(PyObject* p) {
    if (p == nullptr) throw PyErrOccurred{};
    return p;
}

inline int Require(int status) {
    if (status < 0) throw PyErrOccurred{};
    return status;
}

// A reference that never touches the count. Only valid while its owner is.
class Borrowed {
public:
    constexpr Borrowed() = default;
    constexpr explicit Borrowed(PyObject* p) : p_(p) {}
    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// An owned (strong) reference, released in the destructor.
class Ref {
public:
    Ref() = default;
    Ref(const Ref& other) : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Takes over a new reference that must not be null: null means a Python error is set.
    static Ref require(PyObject* p) { return Ref(Require(p)); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }

    PyObject* get() const { return p_; }
    Borrowed borrowed() const { return Borrowed(p_); }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Strong references to each of `count` objects (none null), taken at once
// and released together: a run of borrowed values that Python code run
// meanwhile could otherwise free. The array itself must outlive the holder.
class HeldRun {
public:
    HeldRun(PyObject* const* objects, int count) : objects_(objects), count_(count) {
        for (int i = 0; i < count_; ++i) Py_INCREF(objects_[i]);
    }
    HeldRun(const HeldRun&) = delete;
    HeldRun& operator=(const HeldRun&) = delete;
    ~HeldRun() {
        for (int i = 0; i < count_; ++i) Py_DECREF(objects_[i]);
    }

private:
    PyObject* const* objects_;
    int count_;
};

// The pending exception, taken out of the interpreter's error indicator.
// Used to report an error later, or to keep a caller's pending error intact.
class PendingError {
public:
    static PendingError fetch() {
        PendingError e;
#if PY_VERSION_HEX >= 0x030C0000
        e.exc_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (type != nullptr) {
            PyErr_NormalizeException(&type, &value, &tb);
            if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
        }
        Py_XDECREF(type);
        Py_XDECREF(tb);
        e.exc_ = Ref::steal(value);
#endif
        return e;
    }
    // Puts the exception back as the pending one (consumes it).
    void restore() {
        if (!exc_) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_.release());
#else
        PyObject* value = exc_.release();
        PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
        PyObject* tb = PyException_GetTraceback(value);
        PyErr_Restore(type, value, tb);
#endif
    }
    PyObject* exception() const { return exc_.get(); }
    explicit operator bool() const { return static_cast<bool>(exc_); }

private:
    Ref exc_;
};

// Raises SystemError when no exception is pending, as the interpreter's
// "fetch" does; used where a null from the interpreter must carry an error.
inline void ensure_error_set() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

}  // namespace nefa
