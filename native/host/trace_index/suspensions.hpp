// Where generators and coroutines suspended, beyond the few returns each
// code keeps per thread: many instances of one generator (a pool of tasks,
// generators advanced in turn) suspend before the first of them resumes.
//
// A set-associative table of 64-bit keys (code, line, locals hash): fixed
// memory, no allocation per entry, the oldest entry of a full set dropped.
// A dropped entry costs only a "(resumed)" mark, never a wrong one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nefa::trace_index {

class Suspensions {
public:
    // Sets of four keys; the table is allocated on the first `put`.
    explicit Suspensions(std::size_t set_count_log2) : set_count_log2_(set_count_log2) {}

    static std::uint64_t key(std::uint32_t code, std::int64_t line, std::uint64_t locals_hash);
    void put(std::uint64_t key);
    // Removes one entry of `key`; whether there was one.
    bool take(std::uint64_t key);

private:
    static constexpr std::size_t ways = 4;
    std::uint64_t* set_of(std::uint64_t key);

    std::size_t set_count_log2_;
    std::vector<std::uint64_t> keys_;  // 0: empty
};

}  // namespace nefa::trace_index
