// The MessagePack encoding itself, written through a raw cursor into space
// the caller has already sized: records are made of many short pieces, and
// per-piece capacity checks would cost more than the copies.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace nefa::msgpack {

// Bytes taken by the encoding of a str of n bytes, an unsigned integer, a
// signed integer, a map or array header.
constexpr std::size_t str_size(std::size_t n) {
    return n + (n < 32 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : 5);
}
constexpr std::size_t uint_size(std::uint64_t v) {
    return v < 128 ? 1 : v < 256 ? 2 : v < 65536 ? 3 : v <= 0xffffffffULL ? 5 : 9;
}
constexpr std::size_t int_size(std::int64_t v) {
    if (v >= 0) return uint_size(static_cast<std::uint64_t>(v));
    return v >= -32 ? 1 : v >= INT8_MIN ? 2 : v >= INT16_MIN ? 3 : v >= INT32_MIN ? 5 : 9;
}
constexpr std::size_t header_size(std::size_t n) { return n < 16 ? 1 : n < 65536 ? 3 : 5; }
constexpr std::size_t f64_size = 9;

class Cursor {
public:
    explicit Cursor(std::uint8_t* at) : p_(at) {}
    std::uint8_t* position() const { return p_; }

    void byte(std::uint8_t b) { *p_++ = b; }
    void block(const void* data, std::size_t n) {
        if (n != 0) std::memcpy(p_, data, n);
        p_ += n;
    }
    template <class T>
    void big_endian(T value) {
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            *p_++ = static_cast<std::uint8_t>(value >> (8 * (sizeof(T) - 1 - i)));
        }
    }

    void nil() { byte(0xc0); }
    void boolean_true() { byte(0xc3); }

    [[gnu::always_inline]] void str_header(std::size_t n) {
        if (n < 32) {
            byte(static_cast<std::uint8_t>(0xa0 | n));
        } else if (n < 256) {
            byte(0xd9);
            byte(static_cast<std::uint8_t>(n));
        } else if (n < 65536) {
            byte(0xda);
            big_endian(static_cast<std::uint16_t>(n));
        } else {
            byte(0xdb);
            big_endian(static_cast<std::uint32_t>(n));
        }
    }
    // Inlined: a record writes a dozen of these with sizes known at compile time.
    [[gnu::always_inline]] void str(std::string_view text) {
        str_header(text.size());
        block(text.data(), text.size());
    }

    void uint(std::uint64_t v) {
        if (v < 128) {
            byte(static_cast<std::uint8_t>(v));
        } else if (v < 256) {
            byte(0xcc);
            byte(static_cast<std::uint8_t>(v));
        } else if (v < 65536) {
            byte(0xcd);
            big_endian(static_cast<std::uint16_t>(v));
        } else if (v <= 0xffffffffULL) {
            byte(0xce);
            big_endian(static_cast<std::uint32_t>(v));
        } else {
            byte(0xcf);
            big_endian(v);
        }
    }

    void integer(std::int64_t v) {
        if (v >= 0) {
            uint(static_cast<std::uint64_t>(v));
        } else if (v >= -32) {
            byte(static_cast<std::uint8_t>(v));
        } else if (v >= INT8_MIN) {
            byte(0xd0);
            byte(static_cast<std::uint8_t>(v));
        } else if (v >= INT16_MIN) {
            byte(0xd1);
            big_endian(static_cast<std::uint16_t>(v));
        } else if (v >= INT32_MIN) {
            byte(0xd2);
            big_endian(static_cast<std::uint32_t>(v));
        } else {
            byte(0xd3);
            big_endian(static_cast<std::uint64_t>(v));
        }
    }

    void f64(double value) {
        byte(0xcb);
        big_endian(std::bit_cast<std::uint64_t>(value));
    }

    void map_header(std::size_t n) { header(n, 0x80, 0xde, 0xdf); }
    void array_header(std::size_t n) { header(n, 0x90, 0xdc, 0xdd); }

private:
    void header(std::size_t n, std::uint8_t fix, std::uint8_t sixteen, std::uint8_t thirty_two) {
        if (n < 16) {
            byte(static_cast<std::uint8_t>(fix | n));
        } else if (n < 65536) {
            byte(sixteen);
            big_endian(static_cast<std::uint16_t>(n));
        } else {
            byte(thirty_two);
            big_endian(static_cast<std::uint32_t>(n));
        }
    }

    std::uint8_t* p_;
};

}  // namespace nefa::msgpack
