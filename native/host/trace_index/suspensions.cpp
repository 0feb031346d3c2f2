#include "host/trace_index/suspensions.hpp"

#include <algorithm>

namespace nefa::trace_index {

namespace {

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

std::uint64_t Suspensions::key(std::uint32_t code, std::int64_t line, std::uint64_t locals_hash) {
    const std::uint64_t where = (std::uint64_t{code} << 32) ^ static_cast<std::uint32_t>(line);
    const std::uint64_t key = mix(where ^ mix(locals_hash));
    return key == 0 ? 1 : key;
}

std::uint64_t* Suspensions::set_of(std::uint64_t key) {
    // The high bits pick the set: the low ones are what a set's ways compare.
    return keys_.data() + (key >> (64 - set_count_log2_)) * ways;
}

void Suspensions::put(std::uint64_t key) {
    if (keys_.empty()) keys_.assign((std::size_t{1} << set_count_log2_) * ways, 0);
    std::uint64_t* set = set_of(key);
    std::uint64_t* free = std::find(set, set + ways, std::uint64_t{0});
    if (free == set + ways) free = set + ways - 1;  // full: the oldest goes
    // Newest first, so that the last way holds the oldest.
    std::copy_backward(set, free, free + 1);
    set[0] = key;
}

bool Suspensions::take(std::uint64_t key) {
    if (keys_.empty()) return false;
    std::uint64_t* set = set_of(key);
    std::uint64_t* found = std::find(set, set + ways, key);
    if (found == set + ways) return false;
    std::copy(found + 1, set + ways, found);
    set[ways - 1] = 0;
    return true;
}

}  // namespace nefa::trace_index
