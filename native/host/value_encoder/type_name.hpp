// The name a value's type is shown by: its __qualname__, prefixed with its
// __module__ and a dot unless that is "builtins". Read from the type object's
// own storage, so that no metaclass code runs.
#pragma once

#include "host/value_encoder/output.hpp"

#include <Python.h>

#include <string_view>

namespace nefa::value_encoder {

// Writes the name of `type` as one MessagePack str; each of its two parts is
// cut to `max_chars` characters. Runs no Python code.
void write_type_name(Output& out, PyTypeObject* type, std::size_t max_chars);

// A static type's tp_name as its name is shown: the module before the last
// dot (empty when there is none or it is "builtins") and the rest.
struct StaticTypeName {
    std::string_view module, name;
};
StaticTypeName split_static_name(const char* tp_name);

// The __module__ a heap type's own dict holds, when that is a str other than
// "builtins" (what object.__repr__ shows before the qualname); null
// otherwise, with no error set. Borrowed. Runs no Python code.
PyObject* heap_type_module(PyTypeObject* type);

}  // namespace nefa::value_encoder
