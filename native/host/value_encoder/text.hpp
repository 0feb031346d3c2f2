// str values as MessagePack str: the UTF-8 of a prefix only, written straight
// into the output. Lone surrogates, which UTF-8 cannot hold, become the escape
// text "\udcxx" (as Python's "backslashreplace" writes them).
#pragma once

#include "host/value_encoder/output.hpp"

#include <Python.h>

namespace nefa::value_encoder {

// For the first `count` characters of `text` (a str, subclasses included,
// ready; count <= its length): the size of their UTF-8, and that UTF-8
// written at `at` (returns the end). Run no Python code.
std::size_t text_size(PyObject* text, Py_ssize_t count);
std::uint8_t* put_text(std::uint8_t* at, PyObject* text, Py_ssize_t count);

// The same prefix as one MessagePack str.
void write_text(Output& out, PyObject* text, Py_ssize_t count);

}  // namespace nefa::value_encoder
