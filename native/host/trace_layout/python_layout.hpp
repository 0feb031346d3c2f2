// nefa._native.layout_window: the native walk of walk.hpp as Python calls it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace nefa::trace_layout {

// layout_window(connection, helper, key, thread, first_depth, last_depth, t0, t1, px, most, offset, micros)
//   -> (rows_json, events_json, name_ids, path_ids, visited), or None when
//   the connection cannot be read from natively.
PyObject* layout_window(PyObject* module, PyObject* args);

// Adds nefa._native.WindowLayout: its window() is layout_window's, the
// rows it walked kept for the next windows to use.
int add_window_layout(PyObject* module);

}  // namespace nefa::trace_layout
