// Text as the exports write it: JSON strings, and numbers the way Python
// prints them (its float repr, its round(x, 3)), so that what the native
// exporter writes reads back equal to what the Python one writes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nefa::trace_export {

// Appends `text` (UTF-8, invalid bytes read as U+FFFD) as a JSON string.
void append_json_string(std::string& out, std::string_view text);
// Python's repr of a float: shortest round trip, "1.0", "1e-05", "inf".
void append_float_repr(std::string& out, double value);
// round(value, 3) as Python computes it (correctly rounded, half to even).
double round3(double value);
// Microseconds from `origin`, rounded as the Python export rounds them.
inline double micros(double seconds, double origin) { return round3((seconds - origin) * 1e6); }
void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);
// `text` decoded as Python decodes it with errors="replace".
std::string replace_invalid_utf8(std::string_view text);
// Code points in valid UTF-8 text.
std::size_t code_points(std::string_view text);
// The byte length of the first `count` code points of valid UTF-8 text.
std::size_t prefix_bytes(std::string_view text, std::size_t count);

}  // namespace nefa::trace_export
