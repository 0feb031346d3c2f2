#include "utils/ulid.hpp"

#include "common/refs.hpp"
#include "utils/fork_epoch.hpp"

#include <sys/random.h>

#include <array>
#include <cstring>
#include <ctime>

namespace nefa {

namespace {

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// xoshiro256**: fast and good enough for identifiers once seeded from the
// kernel's cryptographic source; one per thread, so no lock.
struct Generator {
    std::uint64_t s[4];

    Generator() {
        std::size_t got = 0;
        auto* bytes = reinterpret_cast<unsigned char*>(s);
        while (got < sizeof s) {
            ssize_t n = getrandom(bytes + got, sizeof s - got, 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got < sizeof s) {
            // No random source: fall back to the clock and the address of our state
            // so that ids stay distinct, if predictable.
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            s[0] ^= static_cast<std::uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15ULL;
            s[1] ^= reinterpret_cast<std::uintptr_t>(this);
            s[2] ^= static_cast<std::uint64_t>(ts.tv_sec);
            s[3] ^= 0xD1B54A32D192ED03ULL;
        }
        if ((s[0] | s[1] | s[2] | s[3]) == 0) s[0] = 1;
    }

    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
};

std::uint64_t now_millis() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) throw InternalError("System time is before unix epoch");
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000;
}

}  // namespace

void encode_ulid(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low, char out[kUlidLength]) {
    // 128 bits: time in the top 48, randomness in the low 80; 26 characters of
    // 5 bits each cover 130 bits, so the first character holds only 3.
    const std::uint64_t high = ((millis & 0xFFFFFFFFFFFFULL) << 16) | random_high;
    const std::uint64_t low = random_low;
    // Unrolled, every shift is a constant and the branches fold away: this
    // runs for every recorded call.
#pragma GCC unroll 26
    for (std::size_t i = 0; i < kUlidLength; ++i) {
        const unsigned shift = static_cast<unsigned>(5 * (kUlidLength - 1 - i));
        std::uint64_t bits;
        if (shift >= 64) {
            bits = high >> (shift - 64);
        } else if (shift > 59) {
            bits = (low >> shift) | (high << (64 - shift));
        } else {
            bits = low >> shift;
        }
        out[i] = kCrockford[bits & 0x1F];
    }
}

void new_ulid_at(std::uint64_t millis, char out[kUlidLength]) {
    thread_local Generator generator;
    thread_local std::uint64_t seeded_in = fork_epoch();
    if (const std::uint64_t now = fork_epoch(); now != seeded_in) {
        // A forked child must not repeat its parent's ids.
        generator = Generator();
        seeded_in = now;
    }
    const std::uint64_t low = generator.next();
    const auto high = static_cast<std::uint16_t>(generator.next());
    encode_ulid(millis, high, low, out);
}

void new_ulid(char out[kUlidLength]) { new_ulid_at(now_millis(), out); }

namespace {

// Adds one to the random part of a ULID's text (its last 16 characters, 80
// bits), in place. False when it was all ones.
bool increment_random_part(char* ulid) {
    // The Crockford digit after each one, and '0' after the last.
    static constexpr auto next_digit = [] {
        std::array<char, 128> table{};
        for (std::size_t i = 0; i + 1 < sizeof kCrockford - 1; ++i) {
            table[static_cast<unsigned char>(kCrockford[i])] = kCrockford[i + 1];
        }
        table['Z'] = '0';
        return table;
    }();
    for (std::size_t i = kUlidLength; i-- > kUlidLength - 16;) {
        ulid[i] = next_digit[static_cast<unsigned char>(ulid[i]) & 0x7f];
        if (ulid[i] != '0') return true;
    }
    return false;
}

}  // namespace

FrameId FrameIdSource::next(std::uint64_t millis) {
    const std::uint64_t epoch = fork_epoch();
    if (!started_ || millis != millis_ || epoch != epoch_ || !increment_random_part(last_.text.data() + 4)) {
        std::memcpy(last_.text.data(), "frm_", 4);
        new_ulid_at(millis, last_.text.data() + 4);
        millis_ = millis;
        epoch_ = epoch;
        started_ = true;
    }
    return last_;
}

FrameId FrameId::generate() {
    FrameId id;
    std::memcpy(id.text.data(), "frm_", 4);
    new_ulid(id.text.data() + 4);
    return id;
}

}  // namespace nefa
