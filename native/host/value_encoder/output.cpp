#include "host/value_encoder/output.hpp"

#include "common/msgpack_cursor.hpp"

#include <cstdlib>
#include <cstring>

namespace nefa::value_encoder {

namespace {

using nefa::msgpack::Cursor;

// Largest extension header (ext 32) plus the largest array or map header.
constexpr std::size_t largest_head = 6 + 5;

void ext_header(Cursor& cursor, std::size_t n, Ext code) {
    switch (n) {
        case 1: cursor.byte(0xd4); break;
        case 2: cursor.byte(0xd5); break;
        case 4: cursor.byte(0xd6); break;
        case 8: cursor.byte(0xd7); break;
        case 16: cursor.byte(0xd8); break;
        default:
            if (n < 256) {
                cursor.byte(0xc7);
                cursor.byte(static_cast<std::uint8_t>(n));
            } else if (n < 65536) {
                cursor.byte(0xc8);
                cursor.big_endian(static_cast<std::uint16_t>(n));
            } else {
                cursor.byte(0xc9);
                cursor.big_endian(static_cast<std::uint32_t>(n));
            }
    }
    cursor.byte(static_cast<std::uint8_t>(code));
}

constexpr std::size_t bin_header_size(std::size_t n) { return n < 256 ? 2 : n < 65536 ? 3 : 5; }

void bin_header(Cursor& cursor, std::size_t n) {
    if (n < 256) {
        cursor.byte(0xc4);
        cursor.byte(static_cast<std::uint8_t>(n));
    } else if (n < 65536) {
        cursor.byte(0xc5);
        cursor.big_endian(static_cast<std::uint16_t>(n));
    } else {
        cursor.byte(0xc6);
        cursor.big_endian(static_cast<std::uint32_t>(n));
    }
}

}  // namespace

bool Output::make_room(std::size_t n) {
    if (failed_) return false;
    NefaByteBuffer& b = buffer_;
    if (b.capacity - b.size >= n) return true;
    std::size_t wanted = b.capacity < 256 ? 256 : b.capacity * 2;
    while (wanted - b.size < n) wanted *= 2;
    void* grown = std::realloc(b.data, wanted);
    if (grown == nullptr) {
        failed_ = true;
        return false;
    }
    b.data = static_cast<unsigned char*>(grown);
    b.capacity = wanted;
    return true;
}

std::uint8_t* Output::grow(std::size_t n) {
    if (!make_room(n)) return nullptr;
    std::uint8_t* at = buffer_.data + buffer_.size;
    buffer_.size += n;
    return at;
}

void Output::str(std::string_view text) {
    if (auto* p = str_space(text.size())) {
        nefa::msgpack::copy_bytes(p, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
}

std::uint8_t* Output::bin_space(std::size_t n) {
    auto* p = extend(bin_header_size(n) + n);
    if (p == nullptr) return nullptr;
    Cursor cursor(p);
    bin_header(cursor, n);
    return cursor.position();
}

void Output::bin(const void* data, std::size_t n) {
    if (auto* p = bin_space(n)) nefa::msgpack::copy_bytes(p, static_cast<const std::uint8_t*>(data), n);
}

std::size_t Output::bin_size(std::size_t n) { return bin_header_size(n) + n; }

std::uint8_t* Output::put_bin(std::uint8_t* at, const void* data, std::size_t n) {
    Cursor cursor(at);
    bin_header(cursor, n);
    cursor.block(data, n);
    return cursor.position();
}

std::uint8_t* Output::put_ext_header(std::uint8_t* at, std::size_t n, Ext code) {
    Cursor cursor(at);
    ext_header(cursor, n, code);
    return cursor.position();
}

std::uint8_t* Output::ext_space(std::size_t n, Ext code) {
    std::uint8_t head[6];
    Cursor cursor(head);
    ext_header(cursor, n, code);
    const auto head_size = static_cast<std::size_t>(cursor.position() - head);
    auto* p = extend(head_size + n);
    if (p == nullptr) return nullptr;
    nefa::msgpack::copy_bytes(p, head, head_size);
    return p + head_size;
}

std::size_t Output::open(std::size_t expected_head) {
    const std::size_t mark = buffer_.size;
    // The room kept is written in its first byte, for close to find.
    if (std::uint8_t* p = extend(expected_head)) {
        *p = static_cast<std::uint8_t>(expected_head);
        reserved_ += expected_head;
    }
    return mark;
}

void Output::close(std::size_t mark, const Header& header) {
    // A failed output is dropped whole: its reservations no longer matter.
    if (failed_) return;
    const std::size_t kept = buffer_.data[mark];
    reserved_ -= kept;
    const std::size_t payload = buffer_.size - mark - kept;
    std::uint8_t head[largest_head];
    Cursor cursor(head);
    const std::size_t inner = header.kind == Header::Kind::none ? 0 : nefa::msgpack::header_size(header.count);
    if (header.ext) ext_header(cursor, inner + payload, *header.ext);
    if (header.kind == Header::Kind::array) cursor.array_header(header.count);
    if (header.kind == Header::Kind::map) cursor.map_header(header.count);
    const auto head_size = static_cast<std::size_t>(cursor.position() - head);
    if (head_size > kept) {
        // A longer header than expected: the payload moves up to make room.
        if (extend(head_size - kept) == nullptr) return;
        std::uint8_t* at = buffer_.data + mark;
        std::memmove(at + head_size, at + kept, payload);
    } else if (head_size < kept) {
        std::uint8_t* at = buffer_.data + mark;
        nefa::msgpack::move_bytes_down(at + head_size, at + kept, payload);
    }
    nefa::msgpack::copy_bytes(buffer_.data + mark, head, head_size);
    buffer_.size = mark + head_size + payload;
}

}  // namespace nefa::value_encoder
