#include "utils/errors.hpp"

namespace nefa {

PyObject* internal_error_type() {
    // Created on first use and kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("nefa._nefa.InternalError",
                                         "An internal invariant of the nefa profiler was broken.", PyExc_RuntimeError,
                                         nullptr);
    }
    return type;
}

void set_internal_error(const char* message) {
    PyObject* type = internal_error_type();
    if (type == nullptr) return;  // creating the type failed; that error is set
    PyErr_SetString(type, message);
}

void report_internal_error(const char* message) {
    set_internal_error(message);
    PyErr_WriteUnraisable(nullptr);
}

}  // namespace nefa
