#include "value_encoder/encoder.hpp"

namespace nefa::value_encoder {

void Encoder::encode(PyObject* value, int depth) {
    ++nodes_;
    PyTypeObject* type = Py_TYPE(value);
    // Exact builtins first: they are nearly every value met.
    if (value == Py_None) return out_.nil();
    if (type == &PyBool_Type) return out_.boolean(value == Py_True);
    if (type == &PyLong_Type) return encode_int(value);
    if (type == &PyFloat_Type) return out_.f64(PyFloat_AS_DOUBLE(value));
    if (type == &PyUnicode_Type) return encode_str(value);
    if (type == &PyBytes_Type) return encode_bytes(value, std::nullopt);
    if (type == &PyList_Type) return encode_list(value, depth);
    if (type == &PyTuple_Type) return encode_tuple(value, depth);
    if (type == &PyDict_Type) return encode_dict(value, depth);
    if (type == &PyByteArray_Type) return encode_bytes(value, Ext::bytearray);
    // Subclasses take their base type's form; numbers only while they keep
    // the base type's repr (an enum member is shown as the enum shows it).
    if (PyLong_Check(value)) {
        return type->tp_repr == PyLong_Type.tp_repr ? encode_int(value) : encode_repr(value);
    }
    if (PyFloat_Check(value)) {
        return type->tp_repr == PyFloat_Type.tp_repr ? out_.f64(PyFloat_AS_DOUBLE(value)) : encode_repr(value);
    }
    if (PyUnicode_Check(value)) return encode_str(value);
    if (PyBytes_Check(value)) return encode_bytes(value, std::nullopt);
    if (PyList_Check(value)) return encode_list(value, depth);
    if (PyTuple_Check(value)) return encode_tuple(value, depth);
    if (PyDict_Check(value)) return encode_dict(value, depth);
    if (PyAnySet_Check(value)) return encode_set(value, depth);
    encode_repr(value);
}

void Encoder::absorb_error() {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        // The user's Ctrl-C belongs to the program: deliver it again there.
        PyErr_SetInterrupt();
        interrupted_ = true;
        return;
    }
    PyErr_Clear();
}

}  // namespace nefa::value_encoder
