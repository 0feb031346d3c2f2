// Events the hook had to drop without a word, counted by cause and told
// once, on the "nefa" logger, when the recording is read out.
#pragma once

#include "common/refs.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace nefa {

enum class DropCause : std::uint8_t {
    recursion_limit,  // the program was at its recursion limit: nothing more could run
    report_failed,    // recording failed, and so did logging that failure
    internal_error,   // a broken invariant of ours, the interpreter's or the host's
    out_of_memory,
    count_,
};

// The events of one code that failed for one cause: names only, never values.
struct FailedCode {
    std::string cause;  // the exception's type (for a missing module name, with the key)
    std::string file;   // empty for a drop that knew no code
    std::string function;
    std::uint64_t events = 0;
    std::uint64_t calls = 0;  // the call events among them
};

inline constexpr std::size_t kDropCauses = static_cast<std::size_t>(DropCause::count_);

class DroppedEvents {
public:
    // An event dropped where its code is not known. No lock, no Python:
    // safe anywhere in the hook.
    void add(DropCause cause) noexcept {
        counts_[static_cast<std::size_t>(cause)].fetch_add(1, std::memory_order_relaxed);
        codeless_[static_cast<std::size_t>(cause)].fetch_add(1, std::memory_order_relaxed);
    }
    // The same for the one-off report at read-out only: the event is also
    // counted under its code with add_failed.
    void note(DropCause cause) noexcept {
        counts_[static_cast<std::size_t>(cause)].fetch_add(1, std::memory_order_relaxed);
    }
    // An event of `co_filename`'s `co_name` that failed with `cause` and was
    // not recorded. Past kMostCodes distinct codes, only counted. Requires
    // the interpreter lock (reads the names).
    void add_failed(std::string_view cause, PyObject* co_filename, PyObject* co_name, bool call) noexcept;
    // The counts since the last take, which starts them again from zero.
    std::array<std::uint64_t, kDropCauses> take() noexcept;

    // Every failure since the recording began: the codes, the events beyond
    // them, and the drops that knew no code, by cause.
    struct Failures {
        std::vector<FailedCode> codes;
        std::uint64_t other = 0;
        std::array<std::uint64_t, kDropCauses> codeless{};
    };
    Failures failures() const;

    static constexpr std::size_t kMostCodes = 32;

private:
    std::array<std::atomic<std::uint64_t>, kDropCauses> counts_{};
    std::array<std::atomic<std::uint64_t>, kDropCauses> codeless_{};
    mutable std::mutex mutex_;  // guards the two below; never held while Python code runs
    std::vector<FailedCode> codes_;
    std::uint64_t other_ = 0;
};

// How a drop cause is named where failures are listed ("recursion limit").
const char* drop_cause_name(DropCause cause) noexcept;

// Logs one warning on the "nefa" logger with the counts taken from `dropped`,
// when there are any. Never raises: a failure to log leaves no error set
// (a Ctrl-C met meanwhile is re-armed). Requires the interpreter lock.
void report_dropped_events(DroppedEvents& dropped) noexcept;

}  // namespace nefa
