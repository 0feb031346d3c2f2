#include "utils/fork_epoch.hpp"

#include <pthread.h>

namespace nefa {

namespace detail {

std::atomic<std::uint64_t> forks_seen{0};
std::atomic<bool> counting_forks{false};

namespace {

void after_fork_in_child() { forks_seen.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void start_counting_forks() noexcept {
    // A function's static: installed once, whichever thread comes first.
    static const bool installed = [] {
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
        return true;
    }();
    (void)installed;
    counting_forks.store(true, std::memory_order_release);
}

}  // namespace detail

}  // namespace nefa
