#include "host/value_encoder/text.hpp"

#include "common/msgpack_cursor.hpp"

#include <cstring>

namespace nefa::value_encoder {

namespace {

constexpr bool is_surrogate(Py_UCS4 c) { return c >= 0xd800 && c <= 0xdfff; }

constexpr std::size_t utf8_length(Py_UCS4 c) {
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (is_surrogate(c)) return 6;  // "\udcxx"
    return c < 0x10000 ? 3 : 4;
}

std::uint8_t* put_utf8(std::uint8_t* p, Py_UCS4 c) {
    static constexpr char hex[] = "0123456789abcdef";
    if (c < 0x80) {
        *p++ = static_cast<std::uint8_t>(c);
    } else if (c < 0x800) {
        *p++ = static_cast<std::uint8_t>(0xc0 | (c >> 6));
        *p++ = static_cast<std::uint8_t>(0x80 | (c & 0x3f));
    } else if (is_surrogate(c)) {
        *p++ = '\\';
        *p++ = 'u';
        for (int shift = 12; shift >= 0; shift -= 4) *p++ = static_cast<std::uint8_t>(hex[(c >> shift) & 0xf]);
    } else if (c < 0x10000) {
        *p++ = static_cast<std::uint8_t>(0xe0 | (c >> 12));
        *p++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3f));
        *p++ = static_cast<std::uint8_t>(0x80 | (c & 0x3f));
    } else {
        *p++ = static_cast<std::uint8_t>(0xf0 | (c >> 18));
        *p++ = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3f));
        *p++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3f));
        *p++ = static_cast<std::uint8_t>(0x80 | (c & 0x3f));
    }
    return p;
}

template <class Char>
std::size_t chars_size(const Char* chars, std::size_t count) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) size += utf8_length(chars[i]);
    return size;
}

template <class Char>
std::uint8_t* put_chars(std::uint8_t* p, const Char* chars, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) p = put_utf8(p, chars[i]);
    return p;
}

}  // namespace

std::size_t text_size(PyObject* text, Py_ssize_t count) {
    const auto n = static_cast<std::size_t>(count);
    const void* data = PyUnicode_DATA(text);
    if (PyUnicode_IS_ASCII(text)) return n;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return chars_size(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return chars_size(static_cast<const Py_UCS2*>(data), n);
        default: return chars_size(static_cast<const Py_UCS4*>(data), n);
    }
}

std::uint8_t* put_text(std::uint8_t* at, PyObject* text, Py_ssize_t count) {
    const auto n = static_cast<std::size_t>(count);
    const void* data = PyUnicode_DATA(text);
    if (PyUnicode_IS_ASCII(text)) {
        nefa::msgpack::copy_bytes(at, static_cast<const std::uint8_t*>(data), n);
        return at + n;
    }
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return put_chars(at, static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return put_chars(at, static_cast<const Py_UCS2*>(data), n);
        default: return put_chars(at, static_cast<const Py_UCS4*>(data), n);
    }
}

// Two passes over the prefix (size, then bytes): the header is written once
// and nothing is copied twice.
void write_text(Output& out, PyObject* text, Py_ssize_t count) {
    if (std::uint8_t* p = out.str_space(text_size(text, count))) put_text(p, text, count);
}

}  // namespace nefa::value_encoder
