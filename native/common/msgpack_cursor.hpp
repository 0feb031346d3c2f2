// The MessagePack encoding itself, written through a raw cursor into space
// the caller has already sized: records are made of many short pieces, and
// per-piece capacity checks would cost more than the copies.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace nefa::msgpack {

namespace detail {

// Copies `n` bytes, where sizeof(Word) <= n <= 2 * sizeof(Word), with two
// moves that may overlap.
template <std::size_t Word>
[[gnu::always_inline]] inline void copy_two_words(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    std::uint8_t head[Word];
    std::uint8_t tail[Word];
    __builtin_memcpy(head, from, Word);
    __builtin_memcpy(tail, from + n - Word, Word);
    __builtin_memcpy(to, head, Word);
    __builtin_memcpy(to + n - Word, tail, Word);
}

}  // namespace detail

// Copies `n` bytes, or moves them where the two places overlap: below 64
// bytes every tier loads all it moves before it stores.
template <bool Overlapping>
[[gnu::always_inline]] inline void copy_or_move(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    if (n > 64) {
        if constexpr (Overlapping) {
            std::memmove(to, from, n);
        } else {
            std::memcpy(to, from, n);
        }
    } else if (n > 32) {
        detail::copy_two_words<32>(to, from, n);
    } else if (n > 16) {
        detail::copy_two_words<16>(to, from, n);
    } else if (n >= 8) {
        detail::copy_two_words<8>(to, from, n);
    } else if (n >= 4) {
        detail::copy_two_words<4>(to, from, n);
    } else {
        // Only ever moved to a lower address (a header made shorter).
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

// Copies `n` bytes. A record's pieces (names, paths, short values) are
// mostly under 64 bytes: those take a few moves that may overlap instead of
// a call into the C library, which cost about 16 instructions each.
[[gnu::always_inline]] inline void copy_bytes(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    copy_or_move<false>(to, from, n);
}

// Moves `n` bytes to a lower address, over themselves.
[[gnu::always_inline]] inline void move_bytes_down(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    copy_or_move<true>(to, from, n);
}

// Bytes taken by the encoding of a str of n bytes, an unsigned integer, a
// signed integer, a map or array header.
constexpr std::size_t str_size(std::size_t n) { return n + (n < 32 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : 5); }
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
        copy_bytes(p_, static_cast<const std::uint8_t*>(data), n);
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
