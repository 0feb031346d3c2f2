// Values the profiler keeps per interpreter thread: the stack of recorded
// frames, the frame ids handed out, and the thread's identity.
#pragma once

#include "utils/frame_id_map.hpp"
#include "utils/serialize.hpp"
#include "utils/thread_identity.hpp"
#include "utils/ulid.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace nefa {

struct ThreadValues {
    std::vector<CallFrameEntry> call_frames;
    FrameIdMap frame_ids;
    FrameIdSource frame_id_source;
    std::optional<ThreadIdentity> thread_info;
    // The fork epoch thread_info was read in: a forked child's thread has
    // another native id than the parent's.
    std::uint64_t thread_info_epoch = 0;
    // Where the native encoder writes a record's values.
    ValueScratch value_scratch;
    // The TraceUsage generation the stack and ids belong to.
    std::uint64_t generation = 0;
};

// Threads are told apart by a serial number given to each OS thread on its
// first use and never reused, so a thread started later can never see the
// values of one that has ended.
class PerThreadStore {
public:
    PerThreadStore() = default;
    PerThreadStore(const PerThreadStore&) = delete;
    PerThreadStore& operator=(const PerThreadStore&) = delete;

    // This thread's values, created empty on first use. `owner_serial` is the
    // owning profiler's serial (keys the fast per-thread cache).
    ThreadValues& current(std::uint64_t owner_serial);

    // Releases every Python reference held (the frames on the stacks).
    // Requires the interpreter lock.
    void clear_references();

    template <class Visit>
    void for_each(Visit&& visit) {
        std::lock_guard lock(mutex_);
        for (auto& [serial, values] : values_) visit(*values);
    }

private:
    std::mutex mutex_;  // guards the map only; held for a look-up or an insert
    std::unordered_map<std::uint64_t, std::unique_ptr<ThreadValues>> values_;
};

}  // namespace nefa
