// Each thread's stack of the frames that have a default record.
#include "profiler/operations.hpp"

namespace nefa {

void update_call_frames(ThreadValues& values, Event event, PyFrameObject* frame, const FrameId* frame_id) {
    if (event == Event::call) {
        if (frame_id == nullptr) return;
        values.call_frames.push_back(
            CallFrameEntry{Ref::borrow(reinterpret_cast<PyObject*>(frame)), *frame_id});
        return;
    }
    // The top entry goes whatever frame it holds: returns are not matched.
    if (!values.call_frames.empty()) {
        CallFrameEntry top = std::move(values.call_frames.back());
        values.call_frames.pop_back();
    }
}

std::vector<CallFrameEntry> call_frames_snapshot(ThreadValues& values) {
    // A call site is only ever found among the two newest entries, so a
    // snapshot of those answers the same as a copy of the whole stack.
    const auto& stack = values.call_frames;
    const std::size_t first = stack.size() > 2 ? stack.size() - 2 : 0;
    return std::vector<CallFrameEntry>(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
}

}  // namespace nefa
