#include "utils/fork_epoch.hpp"

#include <pthread.h>

#include <atomic>

namespace nefa {

namespace {

std::atomic<std::uint64_t> epoch{0};

void after_fork_in_child() { epoch.fetch_add(1, std::memory_order_relaxed); }

bool install() {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
}

}  // namespace

std::uint64_t fork_epoch() noexcept {
    static const bool installed = install();
    (void)installed;
    return epoch.load(std::memory_order_relaxed);
}

}  // namespace nefa
