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
void encode_ulid(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low, char out[kUlidLength]);

// A new ULID from the real-time clock and a per-thread generator seeded from
// the operating system's random source. No interpreter lock needed.
void new_ulid(char out[kUlidLength]);

// As new_ulid, with the time given (milliseconds since the epoch).
void new_ulid_at(std::uint64_t millis, char out[kUlidLength]);

// "frm_" + ULID: fixed size, so copies never allocate.
struct FrameId {
    static constexpr std::size_t kLength = 4 + kUlidLength;
    std::array<char, kLength> text;

    static FrameId generate();
    std::string_view view() const { return {text.data(), text.size()}; }
    // Inline, by words: the ids of one thread mostly differ in their last
    // characters, which are compared first.
    friend bool operator==(const FrameId& a, const FrameId& b) {
        static_assert(kLength > 16 && kLength <= 32);
        constexpr std::size_t offsets[] = {kLength - 8, 16, 8, 0};
        for (const std::size_t offset : offsets) {
            std::uint64_t x;
            std::uint64_t y;
            __builtin_memcpy(&x, a.text.data() + offset, 8);
            __builtin_memcpy(&y, b.text.data() + offset, 8);
            if (x != y) return false;
        }
        return true;
    }
};

// The frame ids of one thread. Within one millisecond each id is the one
// before with its random part plus one (monotonic ULIDs), so that most ids
// cost an increment of their last character rather than a random draw and
// a whole encoding. Ids stay distinct across threads and processes: each
// source starts each millisecond from 80 fresh random bits, and a forked
// child starts afresh. Not shared between threads; no interpreter lock needed.
class FrameIdSource {
public:
    FrameId next(std::uint64_t millis);

private:
    FrameId last_{};
    std::uint64_t millis_ = 0;
    std::uint64_t epoch_ = 0;
    bool started_ = false;
};

}  // namespace nefa
