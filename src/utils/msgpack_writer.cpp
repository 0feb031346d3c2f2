#include "utils/msgpack_writer.hpp"

#include <bit>
#include <cstdint>
#include <type_traits>

namespace nefa::msgpack {

namespace {

inline void put(Bytes& out, std::uint8_t byte) { out.push_back(byte); }

template <class T>
inline void put_be(Bytes& out, T value) {
    static_assert(std::is_unsigned_v<T>);
    for (int shift = static_cast<int>(sizeof(T) * 8) - 8; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void write_str_header(Bytes& out, std::size_t n) {
    if (n < 32) {
        put(out, static_cast<std::uint8_t>(0xa0 | n));
    } else if (n < 256) {
        put(out, 0xd9);
        put(out, static_cast<std::uint8_t>(n));
    } else if (n < 65536) {
        put(out, 0xda);
        put_be(out, static_cast<std::uint16_t>(n));
    } else {
        put(out, 0xdb);
        put_be(out, static_cast<std::uint32_t>(n));
    }
}

}  // namespace

void write_nil(Bytes& out) { put(out, 0xc0); }
void write_true(Bytes& out) { put(out, 0xc3); }

void write_str(Bytes& out, std::string_view text) {
    write_str_header(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

void write_str_parts(Bytes& out, std::initializer_list<std::string_view> parts) {
    std::size_t n = 0;
    for (auto part : parts) n += part.size();
    write_str_header(out, n);
    for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
}

void write_uint(Bytes& out, std::uint64_t value) {
    if (value < 128) {
        put(out, static_cast<std::uint8_t>(value));
    } else if (value < 256) {
        put(out, 0xcc);
        put(out, static_cast<std::uint8_t>(value));
    } else if (value < 65536) {
        put(out, 0xcd);
        put_be(out, static_cast<std::uint16_t>(value));
    } else if (value <= 0xffffffffULL) {
        put(out, 0xce);
        put_be(out, static_cast<std::uint32_t>(value));
    } else {
        put(out, 0xcf);
        put_be(out, value);
    }
}

void write_int(Bytes& out, std::int64_t value) {
    if (value >= 0) {
        write_uint(out, static_cast<std::uint64_t>(value));
    } else if (value >= -32) {
        put(out, static_cast<std::uint8_t>(value));
    } else if (value >= INT8_MIN) {
        put(out, 0xd0);
        put(out, static_cast<std::uint8_t>(value));
    } else if (value >= INT16_MIN) {
        put(out, 0xd1);
        put_be(out, static_cast<std::uint16_t>(value));
    } else if (value >= INT32_MIN) {
        put(out, 0xd2);
        put_be(out, static_cast<std::uint32_t>(value));
    } else {
        put(out, 0xd3);
        put_be(out, static_cast<std::uint64_t>(value));
    }
}

void write_f64(Bytes& out, double value) {
    put(out, 0xcb);
    put_be(out, std::bit_cast<std::uint64_t>(value));
}

void write_map_header(Bytes& out, std::size_t entries) {
    if (entries < 16) {
        put(out, static_cast<std::uint8_t>(0x80 | entries));
    } else if (entries < 65536) {
        put(out, 0xde);
        put_be(out, static_cast<std::uint16_t>(entries));
    } else {
        put(out, 0xdf);
        put_be(out, static_cast<std::uint32_t>(entries));
    }
}

void write_array_header(Bytes& out, std::size_t items) {
    if (items < 16) {
        put(out, static_cast<std::uint8_t>(0x90 | items));
    } else if (items < 65536) {
        put(out, 0xdc);
        put_be(out, static_cast<std::uint16_t>(items));
    } else {
        put(out, 0xdd);
        put_be(out, static_cast<std::uint32_t>(items));
    }
}

void append_raw(Bytes& out, std::span<const std::uint8_t> raw) {
    out.insert(out.end(), raw.begin(), raw.end());
}

}  // namespace nefa::msgpack

namespace nefa {

void write_str_pair(Bytes& out, std::string_view key, std::optional<std::string_view> value) {
    msgpack::write_str(out, key);
    if (value) {
        msgpack::write_str(out, *value);
    } else {
        msgpack::write_nil(out);
    }
}

void write_raw_pair(Bytes& out, std::string_view key, Bytes& raw) {
    msgpack::write_str(out, key);
    msgpack::append_raw(out, raw);
    raw.clear();
}

void write_raw_pair(Bytes& out, std::string_view key, std::span<const std::uint8_t> raw) {
    msgpack::write_str(out, key);
    msgpack::append_raw(out, raw);
}

void write_int_pair(Bytes& out, std::string_view key, std::uint64_t value) {
    msgpack::write_str(out, key);
    msgpack::write_uint(out, value);
}

void write_f64_pair(Bytes& out, std::string_view key, double value) {
    msgpack::write_str(out, key);
    msgpack::write_f64(out, value);
}

void write_raw_frames(Bytes& out, FrameList frames) {
    write_raw_frames_copy(out, frames);
}

void write_raw_frames_copy(Bytes& out, const FrameList& frames) {
    msgpack::write_array_header(out, frames.size());
    std::size_t total = 0;
    for (const auto& f : frames) total += f.size();
    out.reserve(out.size() + total);
    for (const auto& f : frames) msgpack::append_raw(out, f);
}

}  // namespace nefa
