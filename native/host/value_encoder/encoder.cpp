#include "host/value_encoder/encoder.hpp"

#include "common/interrupts.hpp"

namespace nefa::value_encoder {

namespace {

enum class Base { other, float_, set };

// Whether `type` derives from float, or from set or frozenset: the bases
// that no type flag tells. One walk of the MRO, where PyFloat_Check and
// PyAnySet_Check would make three; an instance of the program's own class
// comes here every time.
Base float_or_set_base(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {  // not ready: the interpreter's own walk
        if (PyType_IsSubtype(type, &PyFloat_Type)) return Base::float_;
        return PyType_IsSubtype(type, &PySet_Type) || PyType_IsSubtype(type, &PyFrozenSet_Type) ? Base::set
                                                                                                : Base::other;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (base == reinterpret_cast<PyObject*>(&PyFloat_Type)) return Base::float_;
        if (base == reinterpret_cast<PyObject*>(&PySet_Type) || base == reinterpret_cast<PyObject*>(&PyFrozenSet_Type))
            return Base::set;
    }
    return Base::other;
}

}  // namespace

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
    if (type == &PyList_Type || type == &PyTuple_Type) return encode_sequence(value, depth);
    if (type == &PyDict_Type) return encode_dict(value, depth);
    return encode_other(value, type, depth);
}

void Encoder::encode_other(PyObject* value, PyTypeObject* type, int depth) {
    if (type == &PyByteArray_Type) return encode_bytes(value, Ext::bytearray);
    // Subclasses take their base type's form; numbers only while they keep
    // the base type's repr (an enum member is shown as the enum shows it).
    if (PyLong_Check(value)) {
        return type->tp_repr == PyLong_Type.tp_repr ? encode_int(value) : encode_repr(value);
    }
    if (PyUnicode_Check(value)) return encode_str(value);
    if (PyBytes_Check(value)) return encode_bytes(value, std::nullopt);
    if (PyList_Check(value) || PyTuple_Check(value)) return encode_sequence(value, depth);
    if (PyDict_Check(value)) return encode_dict(value, depth);
    switch (float_or_set_base(type)) {
        case Base::float_:
            return type->tp_repr == PyFloat_Type.tp_repr ? out_.f64(PyFloat_AS_DOUBLE(value)) : encode_repr(value);
        case Base::set: return encode_set(value, depth);
        case Base::other: break;
    }
    encode_repr(value);
}

void Encoder::absorb_error() {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PendingError error = PendingError::fetch();
        // The user's Ctrl-C belongs to the program: deliver it again there.
        // One a repr raised itself is that repr's failure, as any other.
        if (!interrupt_from_signal(error.exception())) return;
        PyErr_SetInterrupt();
        interrupted_ = true;
        return;
    }
    PyErr_Clear();
}

}  // namespace nefa::value_encoder
