// Who is running (thread name and native id) and where recorded user code
// called from (the nearest recorded frame below the current one).
#pragma once

#include "utils/refs.hpp"
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
};

// One entry of a thread's stack of recorded frames.
struct CallFrameEntry {
    Ref frame;
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
// first; only its two newest entries are looked at). Requires the interpreter lock.
std::optional<CallSite> user_code_call_site(std::span<const CallFrameEntry> snapshot, const FrameId* frame_id);

// A frame's current line the way `frame.f_lineno` reads it: throws TypeError
// where that attribute is None.
int frame_line_number(PyFrameObject* frame);
// The same for a frame running `code`, whose cache `info` (may be null) is at hand.
int frame_line_number(PyFrameObject* frame, PyObject* code, CodeInfo* info);

}  // namespace nefa
