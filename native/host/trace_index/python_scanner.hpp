// The TraceScanner type of nefa._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace nefa::trace_index {

// Adds TraceScanner to the module; -1 with an exception set on failure.
// Interpreter lock held.
int add_trace_scanner(PyObject* module);

}  // namespace nefa::trace_index
