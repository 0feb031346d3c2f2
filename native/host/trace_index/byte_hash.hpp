// A hash of bytes for the scanner's own tables and equality checks (a
// frame id, the locals a generator suspended with), eight bytes a step: a
// byte-at-a-time hash over every record's locals was most of what reading
// a record cost. Not stored anywhere; any change is free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nefa::trace_index {

inline std::uint64_t hash_bytes(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint64_t k = 0x9e3779b97f4a7c15ull;
    std::uint64_t h = (size + 1) * k;
    auto mix = [&](std::uint64_t word) {
        h = (h ^ word) * k;
        h ^= h >> 29;
    };
    if (size >= 8) {
        const std::uint8_t* const last = data + size - 8;
        for (; data < last; data += 8) {
            std::uint64_t word;
            std::memcpy(&word, data, sizeof word);
            mix(word);
        }
        // The last eight bytes, overlapping what went before when the size
        // is no multiple of eight.
        std::uint64_t word;
        std::memcpy(&word, last, sizeof word);
        mix(word);
    } else {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < size; ++i) word |= std::uint64_t{data[i]} << (8 * i);
        mix(word);
    }
    return h;
}

inline std::uint64_t hash_bytes(const char* data, std::size_t size) {
    return hash_bytes(reinterpret_cast<const std::uint8_t*>(data), size);
}

}  // namespace nefa::trace_index
