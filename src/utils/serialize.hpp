// Python values to MessagePack, by the host package's serialisers.
#pragma once

#include "utils/msgpack_writer.hpp"
#include "utils/refs.hpp"

#include <span>

namespace nefa {

// One serialised value: the host's bytes object kept as is when it returned
// one (no copy), otherwise the converted byte list.
class SerializedValue {
public:
    std::span<const std::uint8_t> bytes() const;

private:
    friend SerializedValue serialize_value(PyObject*, bool);
    Ref object_;
    Bytes converted_;
};

// nefa.serialize.dump_msgpack(value), or dump_msgpack_lightweight_repr(value)
// when `lightweight`. Runs Python code; requires the interpreter lock.
SerializedValue serialize_value(PyObject* value, bool lightweight);

inline SerializedValue dump_msgpack(PyObject* value) { return serialize_value(value, false); }
inline SerializedValue dump_msgpack_lightweight_repr(PyObject* value) { return serialize_value(value, true); }

// A serialiser's result as bytes: bytes, bytearray or any sequence of ints in
// 0..255 (a str is refused).
Bytes extract_byte_list(PyObject* result);

}  // namespace nefa
