// Raw deflate data inflated in one call, for a stored document's blocks:
// the whole stream is in memory and the exact size it gives is known, so
// the output buffer is the window and nothing is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nefa::document {

// Inflates the deflate data at `in` into exactly `out_size` bytes at `out`.
// True only when its final block ends having given exactly that many;
// `consumed` is then how many input bytes it took, up to the byte holding
// its last bit. Never reads past in + in_size nor writes past
// out + out_size, whatever the input; the bytes written are unspecified
// when it fails.
bool inflate_raw(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size,
                 std::size_t& consumed);

}  // namespace nefa::document
