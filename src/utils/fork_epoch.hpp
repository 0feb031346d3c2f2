// A counter bumped in the child after every fork(), so that per-process
// state copied into a child (random generators, cached thread identities)
// can tell that it is stale.
#pragma once

#include <atomic>
#include <cstdint>

namespace nefa {

namespace detail {
extern std::atomic<std::uint64_t> forks_seen;
extern std::atomic<bool> counting_forks;
void start_counting_forks() noexcept;
}  // namespace detail

// The number of forks this process descends from, counted from the first
// call. No interpreter lock needed. Read on every event: a load or two.
inline std::uint64_t fork_epoch() noexcept {
    if (!detail::counting_forks.load(std::memory_order_acquire)) [[unlikely]]
        detail::start_counting_forks();
    return detail::forks_seen.load(std::memory_order_relaxed);
}

}  // namespace nefa
