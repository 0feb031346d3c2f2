// The Adler-32 checksum that ends every zlib stream, computed with SIMD
// where the build allows: zlib's own took a quarter of inflating a stored
// document.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nefa::document {

// The checksum of `size` bytes, continuing from `adler` (1 for a new one).
std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size);

}  // namespace nefa::document
