// ULIDs: 48-bit millisecond time and 80 random bits, as 26 Crockford base32
// characters; frame ids are "frm_" followed by one.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace nefa {

inline constexpr std::size_t kUlidLength = 26;

// Writes the canonical text of a ULID made of `millis` and the low 80 bits of
// (`random_high` << 64 | `random_low`).
void encode_ulid(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low,
                 char out[kUlidLength]);

// A new ULID from the real-time clock and a per-thread generator seeded from
// the operating system's random source. No interpreter lock needed.
void new_ulid(char out[kUlidLength]);

// "frm_" + ULID: fixed size, so copies never allocate.
struct FrameId {
    static constexpr std::size_t kLength = 4 + kUlidLength;
    std::array<char, kLength> text;

    static FrameId generate();
    std::string_view view() const { return {text.data(), text.size()}; }
    friend bool operator==(const FrameId&, const FrameId&) = default;
};

}  // namespace nefa
