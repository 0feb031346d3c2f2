#include "utils/msgpack_writer.hpp"

#include "common/msgpack_cursor.hpp"

namespace nefa::msgpack {

namespace {

// Grows `out` by `n` bytes and returns a cursor at the start of them.
Cursor grow(Bytes& out, std::size_t n) {
    const std::size_t old = out.size();
    out.resize(old + n);
    return Cursor(out.data() + old);
}

}  // namespace

void write_nil(Bytes& out) { grow(out, 1).nil(); }
void write_true(Bytes& out) { grow(out, 1).boolean_true(); }
void write_str(Bytes& out, std::string_view text) { grow(out, str_size(text.size())).str(text); }

void write_str_parts(Bytes& out, std::initializer_list<std::string_view> parts) {
    std::size_t n = 0;
    for (auto part : parts) n += part.size();
    Cursor cursor = grow(out, str_size(n));
    cursor.str_header(n);
    for (auto part : parts) cursor.block(part.data(), part.size());
}

void write_bin(Bytes& out, std::string_view bytes) {
    const std::size_t n = bytes.size();
    if (n < 256) {
        out.push_back(0xc4);
    } else if (n < 65536) {
        out.push_back(0xc5);
        out.push_back(static_cast<std::uint8_t>(n >> 8));
    } else {
        out.push_back(0xc6);
        out.push_back(static_cast<std::uint8_t>(n >> 24));
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        out.push_back(static_cast<std::uint8_t>(n >> 8));
    }
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void write_uint(Bytes& out, std::uint64_t value) { grow(out, uint_size(value)).uint(value); }
void write_int(Bytes& out, std::int64_t value) { grow(out, int_size(value)).integer(value); }
void write_f64(Bytes& out, double value) { grow(out, f64_size).f64(value); }
void write_map_header(Bytes& out, std::size_t entries) { grow(out, header_size(entries)).map_header(entries); }
void write_array_header(Bytes& out, std::size_t items) { grow(out, header_size(items)).array_header(items); }
void append_raw(Bytes& out, std::span<const std::uint8_t> raw) { grow(out, raw.size()).block(raw.data(), raw.size()); }

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

void write_raw_frames(Bytes& out, FrameList frames) { write_raw_frames_copy(out, frames); }

void write_raw_frames_copy(Bytes& out, const FrameList& frames) {
    std::size_t total = msgpack::header_size(frames.size());
    for (const auto& f : frames) total += f.size();
    msgpack::Cursor cursor = msgpack::grow(out, total);
    cursor.array_header(frames.size());
    for (const auto& f : frames) cursor.block(f.data(), f.size());
}

}  // namespace nefa
