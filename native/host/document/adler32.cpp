#include "host/document/adler32.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nefa::document {

namespace {

constexpr std::uint32_t modulus = 65521;
// Bytes after which the sums must be reduced so that no 32-bit sum overflows
// (zlib's NMAX), a multiple of 16.
constexpr std::size_t most_before_reducing = 5552 / 16 * 16;

#if defined(__SSE2__)
std::uint64_t lanes_sum(__m128i v) {
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}
#endif

}  // namespace

std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) {
    std::uint64_t s1 = adler & 0xffff;
    std::uint64_t s2 = adler >> 16;
#if defined(__SSE2__)
    // For bytes b[0..n) after (s1, s2): s1 gains the bytes' sum, s2 gains
    // n * s1 plus each byte times (n - its index). By blocks of 16: each
    // block's own weights (16 down to 1), plus 16 times the sum of the
    // blocks before it, counted once per block that follows.
    const __m128i zero = _mm_setzero_si128();
    const __m128i first_weights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i last_weights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    while (size >= 16) {
        const std::size_t length = std::min(size / 16 * 16, most_before_reducing);
        __m128i bytes_sum = zero;    // 32-bit lanes: the blocks' byte sums
        __m128i sums_before = zero;  // the byte sums of the blocks before each block, added up
        __m128i weighted = zero;     // each block's bytes times their weights
        for (const std::uint8_t* end = data + length; data < end; data += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
            sums_before = _mm_add_epi32(sums_before, bytes_sum);
            bytes_sum = _mm_add_epi32(bytes_sum, _mm_sad_epu8(block, zero));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(block, zero), first_weights));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(block, zero), last_weights));
        }
        s2 = (s2 + length * s1 + 16 * lanes_sum(sums_before) + lanes_sum(weighted)) % modulus;
        s1 = (s1 + lanes_sum(bytes_sum)) % modulus;
        size -= length;
    }
#endif
    while (size > 0) {
        const std::size_t length = std::min(size, most_before_reducing);
        for (const std::uint8_t* end = data + length; data < end; ++data) {
            s1 += *data;
            s2 += s1;
        }
        s1 %= modulus;
        s2 %= modulus;
        size -= length;
    }
    return static_cast<std::uint32_t>(s2 << 16 | s1);
}

}  // namespace nefa::document
