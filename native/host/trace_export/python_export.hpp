// nefa._native.TraceExport, and brief_value for tests of the native brief.
#pragma once

#include <Python.h>

namespace nefa::trace_export {

int add_trace_export(PyObject* module);
// brief_value(encoded, width, legacy=False): brief() of one encoded value.
PyObject* brief_value(PyObject* module, PyObject* args);

}  // namespace nefa::trace_export
