// MessagePack output written by hand: headers and key/value pairs appended
// straight into the final buffer, always in the smallest form.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace nefa {

// One encoded MessagePack object (a record), or an output buffer.
using Bytes = std::vector<std::uint8_t>;
// An ordered list of encoded records.
using FrameList = std::vector<Bytes>;

namespace msgpack {

void write_nil(Bytes& out);
void write_true(Bytes& out);
void write_str(Bytes& out, std::string_view text);
// A str made of several pieces written back to back (no intermediate copy).
void write_str_parts(Bytes& out, std::initializer_list<std::string_view> parts);
// Bytes that are not text (bin 8/16/32).
void write_bin(Bytes& out, std::string_view bytes);
void write_uint(Bytes& out, std::uint64_t value);
void write_int(Bytes& out, std::int64_t value);
void write_f64(Bytes& out, double value);
void write_map_header(Bytes& out, std::size_t entries);
void write_array_header(Bytes& out, std::size_t items);
void append_raw(Bytes& out, std::span<const std::uint8_t> raw);

}  // namespace msgpack

// Key as str, then the value as str, or nil when absent.
void write_str_pair(Bytes& out, std::string_view key, std::optional<std::string_view> value);
// Key as str, then the already encoded object `raw` verbatim; `raw` is left empty.
void write_raw_pair(Bytes& out, std::string_view key, Bytes& raw);
// Same, for encoded bytes owned elsewhere (not emptied).
void write_raw_pair(Bytes& out, std::string_view key, std::span<const std::uint8_t> raw);
// Key as str, then an unsigned integer in its smallest form.
void write_int_pair(Bytes& out, std::string_view key, std::uint64_t value);
// Key as str, then a float 64.
void write_f64_pair(Bytes& out, std::string_view key, double value);
// Array header with the number of records, then each record verbatim.
// Takes the list over and releases it.
void write_raw_frames(Bytes& out, FrameList frames);
// Same, leaving the caller's records in place (they may still be needed).
void write_raw_frames_copy(Bytes& out, const FrameList& frames);

}  // namespace nefa
