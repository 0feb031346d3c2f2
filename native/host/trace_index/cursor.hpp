// A bounded reader of MessagePack bytes: every read checks what is left, so
// no input, however damaged, makes it read past the buffer. Running out of
// bytes and finding bytes that are not MessagePack are told apart, because
// the scanner is fed a document piece by piece and waits for more in the
// first case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace nefa::trace_index {

// The bytes end before the item does (more may come).
struct Incomplete {};

// The bytes cannot be a trace document; offset is from the document's start.
struct Corrupt {
    std::uint64_t offset;
    std::string cause;
};

class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size, std::uint64_t base) : data_(data), size_(size), base_(base) {}

    std::size_t position() const { return pos_; }
    void rewind(std::size_t position) { pos_ = position; }
    std::size_t left() const { return size_ - pos_; }
    // Offset in the whole document of the next byte.
    std::uint64_t offset() const { return base_ + pos_; }
    const std::uint8_t* at(std::size_t position) const { return data_ + position; }

    [[noreturn]] void corrupt(const char* cause) const { throw Corrupt{offset(), cause}; }

    std::uint8_t peek() const {
        if (pos_ >= size_) throw Incomplete{};
        return data_[pos_];
    }

    std::uint8_t byte() {
        const std::uint8_t b = peek();
        ++pos_;
        return b;
    }

    // n big-endian bytes (n <= 8).
    std::uint64_t big_endian(std::size_t n) {
        need(n);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < n; ++i) value = (value << 8) | data_[pos_ + i];
        pos_ += n;
        return value;
    }

    void advance(std::uint64_t n) {
        need(n);
        pos_ += static_cast<std::size_t>(n);
    }

    bool nil() {
        if (peek() != 0xc0) return false;
        ++pos_;
        return true;
    }

    // A str's bytes when the next item is a str; otherwise false, nothing read.
    bool str(std::string_view& out) {
        const std::uint8_t b = peek();
        std::uint64_t n;
        if ((b & 0xe0) == 0xa0) {
            n = b & 0x1f;
            need(1 + n);
            ++pos_;
        } else if (b >= 0xd9 && b <= 0xdb) {
            const std::size_t width = std::size_t{1} << (b - 0xd9);
            need(1 + width);
            ++pos_;
            n = big_endian(width);
            need(n);
        } else {
            return false;
        }
        out = std::string_view(reinterpret_cast<const char*>(data_ + pos_), static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return true;
    }

    // A map header's entry count, or -1 (nothing read) when the next item is no map.
    std::int64_t map_length() {
        const std::uint8_t b = peek();
        if ((b & 0xf0) == 0x80) {
            ++pos_;
            return b & 0x0f;
        }
        if (b == 0xde || b == 0xdf) {
            need(b == 0xde ? 3 : 5);
            ++pos_;
            return static_cast<std::int64_t>(big_endian(b == 0xde ? 2 : 4));
        }
        return -1;
    }

    std::int64_t array_length() {
        const std::uint8_t b = peek();
        if ((b & 0xf0) == 0x90) {
            ++pos_;
            return b & 0x0f;
        }
        if (b == 0xdc || b == 0xdd) {
            need(b == 0xdc ? 3 : 5);
            ++pos_;
            return static_cast<std::int64_t>(big_endian(b == 0xdc ? 2 : 4));
        }
        return -1;
    }

    // An int or float as a double; false (nothing read) for anything else.
    bool number(double& out) {
        const std::uint8_t b = peek();
        if (b <= 0x7f) {
            ++pos_;
            out = b;
        } else if (b >= 0xe0) {
            ++pos_;
            out = static_cast<std::int8_t>(b);
        } else if (b == 0xcb) {
            need(9);
            ++pos_;
            const std::uint64_t bits = big_endian(8);
            std::memcpy(&out, &bits, sizeof out);
        } else if (b == 0xca) {
            need(5);
            ++pos_;
            const auto bits = static_cast<std::uint32_t>(big_endian(4));
            float f;
            std::memcpy(&f, &bits, sizeof f);
            out = f;
        } else if (b >= 0xcc && b <= 0xd3) {
            std::uint64_t u;
            std::int64_t i;
            const int kind = integer(u, i);
            if (kind == 0) return false;
            out = kind == 1 ? static_cast<double>(u) : static_cast<double>(i);
        } else {
            return false;
        }
        return true;
    }

    // An int: 1 with an unsigned value in u, 2 with a negative one in i, 0
    // (nothing read) when the next item is no int.
    int integer(std::uint64_t& u, std::int64_t& i) {
        const std::uint8_t b = peek();
        if (b <= 0x7f) {
            ++pos_;
            u = b;
            return 1;
        }
        if (b >= 0xe0) {
            ++pos_;
            i = static_cast<std::int8_t>(b);
            return 2;
        }
        if (b >= 0xcc && b <= 0xd3) {
            const std::size_t n = std::size_t{1} << ((b - 0xcc) & 3);
            need(1 + n);
            ++pos_;
            const std::uint64_t raw = big_endian(n);
            if (b <= 0xcf) {
                u = raw;
                return 1;
            }
            // Sign-extend the n-byte two's complement value.
            const unsigned shift = static_cast<unsigned>(64 - 8 * n);
            const auto value = static_cast<std::int64_t>(raw << shift) >> shift;
            if (value >= 0) {
                u = static_cast<std::uint64_t>(value);
                return 1;
            }
            i = value;
            return 2;
        }
        return 0;
    }

    // Skips one complete item, however nested, without recursion. Sets
    // *ext_seen when an extension type occurs in it.
    // The caller rewinds on Incomplete: the state machine restarts the step.
    void skip(bool* ext_seen) {
        {
            std::uint64_t pending = 1;
            while (pending > 0) {
                --pending;
                std::uint64_t children = 0;
                const std::uint8_t b = byte();
                if (b <= 0x7f || b >= 0xe0 || b == 0xc0 || b == 0xc2 || b == 0xc3) {
                } else if ((b & 0xf0) == 0x80) {
                    children = 2u * (b & 0x0f);
                } else if ((b & 0xf0) == 0x90) {
                    children = b & 0x0f;
                } else if ((b & 0xe0) == 0xa0) {
                    advance(b & 0x1f);
                } else {
                    switch (b) {
                        case 0xc1: --pos_; corrupt("the byte 0xc1, which MessagePack never uses");
                        case 0xc4:
                        case 0xc5:
                        case 0xc6:
                        case 0xd9:
                        case 0xda:
                        case 0xdb: {
                            const std::size_t width = std::size_t{1} << (b >= 0xd9 ? b - 0xd9 : b - 0xc4);
                            advance(big_endian(width));
                            break;
                        }
                        case 0xc7:
                        case 0xc8:
                        case 0xc9: {
                            const std::uint64_t n = big_endian(std::size_t{1} << (b - 0xc7));
                            advance(1 + n);
                            if (ext_seen) *ext_seen = true;
                            break;
                        }
                        case 0xca: advance(4); break;
                        case 0xcb: advance(8); break;
                        case 0xcc:
                        case 0xd0: advance(1); break;
                        case 0xcd:
                        case 0xd1: advance(2); break;
                        case 0xce:
                        case 0xd2: advance(4); break;
                        case 0xcf:
                        case 0xd3: advance(8); break;
                        case 0xd4:
                        case 0xd5:
                        case 0xd6:
                        case 0xd7:
                        case 0xd8:
                            advance(1 + (std::size_t{1} << (b - 0xd4)));
                            if (ext_seen) *ext_seen = true;
                            break;
                        case 0xdc:
                        case 0xdd: children = big_endian(b == 0xdc ? 2 : 4); break;
                        case 0xde:
                        case 0xdf: children = 2 * big_endian(b == 0xde ? 2 : 4); break;
                        default: break;
                    }
                }
                // Every item takes at least a byte: more items than bytes
                // left can only be an incomplete or a damaged document.
                pending += children;
                if (pending > left()) throw Incomplete{};
            }
        }
    }

private:
    void need(std::uint64_t n) const {
        if (n > left()) throw Incomplete{};
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::uint64_t base_;
    std::size_t pos_ = 0;
};

}  // namespace nefa::trace_index
