#include "utils/serialize.hpp"

#include "utils/interned.hpp"
#include "utils/text.hpp"

namespace nefa {

std::span<const std::uint8_t> SerializedValue::bytes() const {
    if (object_) {
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object_.get())),
                static_cast<std::size_t>(PyBytes_GET_SIZE(object_.get()))};
    }
    return converted_;
}

Bytes extract_byte_list(PyObject* result) {
    if (PyUnicode_Check(result)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PyErrOccurred{};
    }
    if (PyBytes_Check(result)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(result));
        return Bytes(data, data + PyBytes_GET_SIZE(result));
    }
    if (PyByteArray_Check(result)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(result));
        return Bytes(data, data + PyByteArray_GET_SIZE(result));
    }
    if (!PySequence_Check(result)) throw_downcast_error(result, "Sequence");
    Bytes out;
    Ref iterator = Ref::require(PyObject_GetIter(result));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyLong_Check(item.get())) throw_downcast_error(item.get(), "PyInt");
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw PyErrOccurred{};
        if (overflow != 0 || value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            throw PyErrOccurred{};
        }
        out.push_back(static_cast<std::uint8_t>(value));
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return out;
}

SerializedValue serialize_value(PyObject* value, bool lightweight) {
    const Names& n = names();
    Ref module = import_module(n.mod_serialize);
    Ref function = module_attribute(module.get(), lightweight ? n.dump_msgpack_lightweight_repr : n.dump_msgpack);
    Ref result = Ref::require(PyObject_CallOneArg(function.get(), value));
    SerializedValue out;
    if (PyBytes_CheckExact(result.get())) {
        out.object_ = std::move(result);
    } else {
        out.converted_ = extract_byte_list(result.get());
    }
    return out;
}

}  // namespace nefa
