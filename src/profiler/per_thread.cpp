#include "profiler/per_thread.hpp"

#include "common/refs.hpp"

#include <atomic>

namespace nefa {

namespace {

std::uint64_t this_thread_serial() {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t serial = next.fetch_add(1, std::memory_order_relaxed);
    return serial;
}

// The last store looked up on this thread: events of one profiler on one
// thread then cost no lock and no hash.
struct Cache {
    std::uint64_t owner_serial = 0;
    ThreadValues* values = nullptr;
};
thread_local Cache cache;

}  // namespace

ThreadValues& PerThreadStore::current(std::uint64_t owner_serial) {
    if (cache.owner_serial == owner_serial && cache.values != nullptr) return *cache.values;
    const std::uint64_t thread = this_thread_serial();
    ThreadValues* values;
    {
        std::lock_guard lock(mutex_);
        auto& slot = values_[thread];
        if (!slot) slot = std::make_unique<ThreadValues>();
        values = slot.get();
    }
    cache = Cache{owner_serial, values};
    return *values;
}

void PerThreadStore::clear_references() {
    // Move the stacks out first: releasing a frame may run arbitrary code.
    std::vector<CallFrameEntry> doomed;
    {
        std::lock_guard lock(mutex_);
        for (auto& [serial, values] : values_) {
            for (auto& entry : values->call_frames) doomed.push_back(std::move(entry));
            values->call_frames.clear();
        }
    }
}

}  // namespace nefa
