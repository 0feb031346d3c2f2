// nefa._native.layout_window: the native walk of walk.hpp as Python calls it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace nefa::trace_layout {

// layout_window(connection, key, thread, first_depth, last_depth, t0, t1, px, most, offset, micros, parallel)
//   -> (rows_json, events_json, name_ids, path_ids, visited), or None when
//   the connection cannot be read from natively.
PyObject* layout_window(PyObject* module, PyObject* args);

}  // namespace nefa::trace_layout
