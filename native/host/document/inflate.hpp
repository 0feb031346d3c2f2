// nefa._native.inflate_chunks: stored document chunks (nefa.db.compress_chunk's
// row format) inflated straight into one bytes object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace nefa::document {

// inflate_chunks(rows, sizes, /): the raw bytes of consecutive chunks, each
// row's blocks inflated in place; a ValueError when a row is damaged (the
// caller reads it again the slow way to say how). Interpreter lock held on
// entry and exit, released while inflating.
PyObject* inflate_chunks(PyObject* module, PyObject* args);

}  // namespace nefa::document
