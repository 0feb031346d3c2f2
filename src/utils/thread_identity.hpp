// Who is running (thread name and native id) and where recorded user code
// called from (the nearest recorded frame below the current one).
#pragma once

#include "common/refs.hpp"
#include "utils/frame_handle.hpp"
#include "utils/ulid.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace nefa {

struct CodeInfo;

struct ThreadIdentity {
    std::string name;
    std::uint64_t native_id = 0;
    // "thread" and "thread_native_id" with their values, as a record's map
    // holds them: the same in every record of the thread, encoded once
    // (empty until then).
    std::string record_fields;
};

// One entry of a thread's stack of recorded frames.
struct CallFrameEntry {
    // The frame object, which keeps the frame readable after it returned:
    // always under the profile hook, and under the monitoring engine when
    // the frame had one already.
    Ref frame;
    // Otherwise the interpreter's record of the frame, with what ran there
    // (its code, held, and the frame below it). The record is stack memory,
    // reused once the frame returns, and an entry may outlive its frame when
    // events go unmatched: it is read only once found among the frames
    // below the running one, with the same code and the same frame below.
    compat::InterpreterFrame* running = nullptr;
    const compat::InterpreterFrame* below = nullptr;
    Ref code;
    CodeInfo* info = nullptr;  // the code's cache, which lives as long as the code
    // A running frame's FrameHandle::key and key_check: its return finds its
    // id here (take_running_frame_id), which then leaves (key 0).
    std::uintptr_t key = 0;
    std::uint64_t key_check = 0;
    FrameId frame_id;
    // The frame's line at instruction `line_lasti` as last looked up: a
    // caller stays at one instruction from its callee's call to its return.
    mutable int line_lasti = -1;
    mutable int line = 0;
};

struct CallSite {
    FrameId call_frame_id;
    std::int32_t line_number = 0;
};

// threading.current_thread()'s name and native id. Calls into Python.
// Requires the interpreter lock; must run on the thread it describes.
ThreadIdentity current_thread();

// The call site for the frame with id `frame_id`, from `snapshot` (oldest
// first; only its two newest entries are looked at), for an event of the
// running frame `current`. An entry whose frame cannot be shown to be still
// running gives the last line known of it, or no call site when none is
// (only when events went unmatched). Requires the interpreter lock.
std::optional<CallSite> user_code_call_site(std::span<const CallFrameEntry> snapshot, const FrameId* frame_id,
                                            const FrameHandle& current);

// A frame's current line the way `frame.f_lineno` reads it: throws TypeError
// where that attribute is None.
int frame_line_number(PyFrameObject* frame);
// The same for a frame running `code`, whose cache `info` (may be null) is at hand.
int frame_line_number(PyFrameObject* frame, PyObject* code, CodeInfo* info);
int frame_line_number(const compat::RunningFrame& frame, CodeInfo* info);
inline int frame_line_number(FrameHandle& frame, PyObject* code, CodeInfo* info) {
    const compat::RunningFrame* running = frame.running();
    return running != nullptr ? frame_line_number(*running, info) : frame_line_number(frame.object(), code, info);
}

}  // namespace nefa
