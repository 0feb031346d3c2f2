// Plain items: None, and exact bools, floats, ints within 64 bits and compact
// ASCII strs within the char budget. Their form follows from their exact type
// and they run no Python code, so containers write runs of them straight into
// room reserved once, with no dispatch per item. Subclasses never qualify:
// they take the encoder's general path.
#pragma once

#include "common/compat.hpp"
#include "common/msgpack_cursor.hpp"

#include <Python.h>

#include <cstdint>
#include <cstring>

namespace nefa::value_encoder {

// The most bytes a plain number takes: a float, or a 64-bit int.
inline constexpr std::size_t plain_number_size = 9;

// A plain str's encoding at `p`, when `text` is one and fits before
// `room_end`: returns its end, or null with nothing written.
inline std::uint8_t* put_plain_str(std::uint8_t* p, std::uint8_t* room_end, PyObject* text, std::size_t max_chars) {
    if (Py_TYPE(text) != &PyUnicode_Type || !PyUnicode_IS_COMPACT_ASCII(text)) return nullptr;
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    if (length > max_chars || static_cast<std::size_t>(room_end - p) < nefa::msgpack::str_size(length)) return nullptr;
    nefa::msgpack::Cursor cursor(p);
    cursor.str_header(length);
    // A compact ASCII str's characters follow its header (PyUnicode_DATA's
    // first case, without testing the flags again).
    nefa::msgpack::copy_bytes(
        cursor.position(), reinterpret_cast<const std::uint8_t*>(reinterpret_cast<PyASCIIObject*>(text) + 1), length);
    return cursor.position() + length;
}

// The same for any plain item.
inline std::uint8_t* put_plain(std::uint8_t* p, std::uint8_t* room_end, PyObject* value, std::size_t max_chars) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return put_plain_str(p, room_end, value, max_chars);
    if (static_cast<std::size_t>(room_end - p) < plain_number_size) return nullptr;
    nefa::msgpack::Cursor cursor(p);
    if (type == &PyLong_Type) {
        std::int64_t compact = 0;
        if (!compat::compact_int_value(value, &compact)) return nullptr;
        cursor.integer(compact);
    } else if (type == &PyFloat_Type) {
        cursor.f64(PyFloat_AS_DOUBLE(value));
    } else if (value == Py_None) {
        cursor.nil();
    } else if (type == &PyBool_Type) {
        cursor.byte(value == Py_True ? 0xc3 : 0xc2);
    } else {
        return nullptr;
    }
    return cursor.position();
}

}  // namespace nefa::value_encoder
