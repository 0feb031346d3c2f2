// The module nefa._native: the host package's own native code: the value
// encoder (nefa.serialize re-exports its functions), the trace scanner
// that builds the call index, and the streaming export.
#include "common/refs.hpp"
#include "common/value_encoder_api.h"
#include "host/document/inflate.hpp"
#include "host/trace_export/python_export.hpp"
#include "host/trace_index/python_scanner.hpp"
#include "host/trace_layout/python_layout.hpp"
#include "host/value_encoder/api.hpp"
#include "host/value_encoder/ext_codes.hpp"
#include "host/value_encoder/redaction.hpp"

namespace {

using namespace nefa::value_encoder;

PyMethodDef methods[] = {
    {"dump_msgpack", dump_msgpack, METH_O,
     "dump_msgpack(value, /)\n--\n\n"
     "Encode value as exactly one MessagePack object, in the recorded value forms; never raises."},
    {"dump_msgpack_lightweight_repr", dump_msgpack_lightweight_repr, METH_O,
     "dump_msgpack_lightweight_repr(value, /)\n--\n\n"
     "Like dump_msgpack, with the small budgets that keep traces small."},
    {"set_redaction", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_redaction)), METH_FASTCALL,
     "set_redaction(fragments, names, query_names, value_fragments, value_names, /)\n--\n\n"
     "The credential rule the encoder applies to dict entries (nefa.redaction.configure sets it); "
     "fragments None records every value whole."},
    {"brief_value", nefa::trace_export::brief_value, METH_VARARGS,
     "brief_value(encoded, width, legacy=False, /)\n--\n\n"
     "One encoded recorded value as a line of at most width characters, natively."},
    {"layout_window", nefa::trace_layout::layout_window, METH_VARARGS,
     "layout_window(connection, helper, key, thread, first_depth, last_depth, t0, t1, px, most, offset, micros, /)"
     "\n--\n\n"
     "The rows and plugin records of a flame chart window, as JSON, half the rows walked on the helper"
     " connection (or None); None when the connection cannot be read natively."},
    {"inflate_chunks", nefa::document::inflate_chunks, METH_VARARGS,
     "inflate_chunks(rows, sizes, /)\n--\n\n"
     "The raw bytes of consecutive stored chunks (a list of bytes, and each one's raw size);"
     " ValueError when a row is damaged."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "nefa._native",
    "Native code of the nefa host package.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Filled once; the function objects are kept alive for the life of the
// process, so the capsule's borrowed pointers never dangle.
NefaValueEncoderApi api{
    NEFA_VALUE_ENCODER_API_VERSION, nullptr, nullptr, append, append_small_map, append_map, own_next_top_keys};

int add_capsule(PyObject* module) {
    if (api.dump_msgpack == nullptr) {
        nefa::Ref full = nefa::Ref::steal(PyObject_GetAttrString(module, "dump_msgpack"));
        nefa::Ref light = nefa::Ref::steal(PyObject_GetAttrString(module, "dump_msgpack_lightweight_repr"));
        if (!full || !light) return -1;
        api.dump_msgpack = full.release();
        api.dump_msgpack_lightweight_repr = light.release();
    }
    nefa::Ref capsule = nefa::Ref::steal(PyCapsule_New(&api, NEFA_VALUE_ENCODER_CAPSULE, nullptr));
    if (!capsule) return -1;
    return PyModule_AddObjectRef(module, "value_encoder_api", capsule.get());
}

// The value-form codes by name (a read-only mapping), so that the Python
// readers take them from the encoder's own table.
int add_value_form_codes(PyObject* module) {
    nefa::Ref codes = nefa::Ref::steal(PyDict_New());
    if (!codes) return -1;
    for (const ExtName& entry : ext_names) {
        nefa::Ref code = nefa::Ref::steal(PyLong_FromLong(static_cast<long>(entry.code)));
        if (!code || PyDict_SetItemString(codes.get(), entry.name, code.get()) < 0) return -1;
    }
    nefa::Ref view = nefa::Ref::steal(PyDictProxy_New(codes.get()));
    if (!view) return -1;
    return PyModule_AddObjectRef(module, "VALUE_FORM_CODES", view.get());
}

}  // namespace

// With the interpreter lock held, at import.
PyMODINIT_FUNC PyInit__native() {
    nefa::Ref module = nefa::Ref::steal(PyModule_Create(&module_def));
    if (!module || add_capsule(module.get()) < 0 || add_value_form_codes(module.get()) < 0) return nullptr;
    if (load_default_rule() < 0) return nullptr;
    if (nefa::trace_index::add_trace_scanner(module.get()) < 0) return nullptr;
    if (nefa::trace_export::add_trace_export(module.get()) < 0) return nullptr;
    if (nefa::trace_layout::add_window_layout(module.get()) < 0) return nullptr;
    return module.release();
}
