// The encoder's output: MessagePack appended to the caller's NefaByteBuffer.
// Running out of memory is not an exception: the output turns "failed",
// later writes do nothing, and the entry point rolls the buffer back.
#pragma once

#include "common/msgpack_cursor.hpp"
#include "common/value_encoder_api.h"
#include "host/value_encoder/ext_codes.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace nefa::value_encoder {

// What a container's header turns out to be, decided when it is closed.
struct Header {
    enum class Kind : std::uint8_t { none, array, map };
    Kind kind = Kind::none;
    std::size_t count = 0;     // items of the array, entries of the map
    std::optional<Ext> ext{};  // wrapped in this extension type
};

// The header of an extension whose payload is 17 to 255 bytes (most forms):
// what to keep room for when opening one.
inline constexpr std::size_t kExtHead = 3;

class Output {
public:
    explicit Output(NefaByteBuffer& buffer) : buffer_(buffer) {}

    bool failed() const { return failed_; }
    std::size_t size() const { return buffer_.size; }
    std::uint8_t byte_at(std::size_t at) const { return buffer_.data[at]; }
    // Bytes written since `start`, not counting the room kept for the
    // headers of containers still open: what the output will hold.
    std::size_t used_since(std::size_t start) const { return buffer_.size - start - reserved_; }

    // Room for `n` more bytes at the end; null once memory ran out. Inline:
    // it runs for every value written.
    std::uint8_t* extend(std::size_t n) {
        if (failed_ || buffer_.capacity - buffer_.size < n) return grow(n);
        std::uint8_t* at = buffer_.data + buffer_.size;
        buffer_.size += n;
        return at;
    }
    // Forgets what was written past `size`.
    void truncate(std::size_t size) { buffer_.size = size; }

    // Direct writing, for loops that check their own bounds: at least `n`
    // bytes of room past the end (false once memory ran out), the end and
    // the end of the room, and the new end once written up to `at`.
    bool reserve(std::size_t n) { return !failed_ && (buffer_.capacity - buffer_.size >= n || make_room(n)); }
    std::uint8_t* end() const { return buffer_.data + buffer_.size; }
    std::uint8_t* room_end() const { return buffer_.data + buffer_.capacity; }
    void advance_to(const std::uint8_t* at) { buffer_.size = static_cast<std::size_t>(at - buffer_.data); }
    // The size at which used_since(start) reaches `used`.
    std::size_t size_when_used(std::size_t start, std::size_t used) const { return start + reserved_ + used; }

    void nil() {
        if (auto* p = extend(1)) *p = 0xc0;
    }
    void boolean(bool value) {
        if (auto* p = extend(1)) *p = value ? 0xc3 : 0xc2;
    }
    void integer(std::int64_t value) {
        if (auto* p = extend(nefa::msgpack::int_size(value))) nefa::msgpack::Cursor(p).integer(value);
    }
    void uint(std::uint64_t value) {
        if (auto* p = extend(nefa::msgpack::uint_size(value))) nefa::msgpack::Cursor(p).uint(value);
    }
    void f64(double value) {
        if (auto* p = extend(nefa::msgpack::f64_size)) nefa::msgpack::Cursor(p).f64(value);
    }
    void str(std::string_view text);
    // A str or bin header for `n` bytes, followed by room for them.
    std::uint8_t* str_space(std::size_t n) {
        auto* p = extend(nefa::msgpack::str_size(n));
        if (p == nullptr) return nullptr;
        nefa::msgpack::Cursor cursor(p);
        cursor.str_header(n);
        return cursor.position();
    }
    std::uint8_t* bin_space(std::size_t n);
    void bin(const void* data, std::size_t n);
    // The size of a bin of `n` bytes, and one written at `at` (returns its end).
    static std::size_t bin_size(std::size_t n);
    static std::uint8_t* put_bin(std::uint8_t* at, const void* data, std::size_t n);
    // An extension header for a payload of `n` bytes, followed by room for
    // them: for forms whose size is known before they are written.
    std::uint8_t* ext_space(std::size_t n, Ext code);
    // The header of an extension of `n` bytes, written at `at` (at most 6
    // bytes; returns its end): for forms assembled ahead of time.
    static std::uint8_t* put_ext_header(std::uint8_t* at, std::size_t n, Ext code);

    // Starts a container or extension whose header depends on what goes
    // into it, with room kept for a header of `expected_head` bytes (1 to
    // 11); returns the mark to close it with. Close moves what was written
    // when the header turns out of another size: most are a small array's
    // or map's one byte.
    std::size_t open(std::size_t expected_head = 1);
    void close(std::size_t mark, const Header& header);

private:
    // extend's slow path: more memory, or null once it ran out.
    std::uint8_t* grow(std::size_t n);
    // Capacity for `n` more bytes; false (and failed) once memory ran out.
    bool make_room(std::size_t n);

    NefaByteBuffer& buffer_;
    std::size_t reserved_ = 0;
    bool failed_ = false;
};

}  // namespace nefa::value_encoder
