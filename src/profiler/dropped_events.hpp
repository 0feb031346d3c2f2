// Events the hook had to drop without a word, counted by cause and told
// once, on the "nefa" logger, when the recording is read out.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace nefa {

enum class DropCause : std::uint8_t {
    recursion_limit,  // the program was at its recursion limit: nothing more could run
    report_failed,    // recording failed, and so did logging that failure
    internal_error,   // a broken invariant of ours, the interpreter's or the host's
    out_of_memory,
    count_,
};

class DroppedEvents {
public:
    // No lock, no Python: safe anywhere in the hook.
    void add(DropCause cause) noexcept {
        counts_[static_cast<std::size_t>(cause)].fetch_add(1, std::memory_order_relaxed);
    }
    // The counts since the last take, which starts them again from zero.
    std::array<std::uint64_t, static_cast<std::size_t>(DropCause::count_)> take() noexcept;

private:
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(DropCause::count_)> counts_{};
};

// Logs one warning on the "nefa" logger with the counts taken from `dropped`,
// when there are any. Never raises: a failure to log leaves no error set
// (a Ctrl-C met meanwhile is re-armed). Requires the interpreter lock.
void report_dropped_events(DroppedEvents& dropped) noexcept;

}  // namespace nefa
