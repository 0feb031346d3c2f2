// Parsing fast-call arguments (positional or keyword, all required) with the
// interpreter's usual error wording.
#pragma once

#include "common/refs.hpp"

#include <span>

namespace nefa {

// Fills `out` (one borrowed slot per parameter) or throws PyErrOccurred
// with a TypeError. Requires the interpreter lock.
void parse_arguments(const char* function, std::span<const char* const> parameters, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

}  // namespace nefa
