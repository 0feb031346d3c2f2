// Each thread's stack of the frames that have a default record.
#include "profiler/operations.hpp"

#include <new>

namespace nefa {

void update_call_frames(ThreadValues& values, Event event, const FrameHandle& frame, PyObject* code, CodeInfo* info,
                        const FrameId* frame_id, int line) noexcept {
    if (event == Event::call) {
        if (frame_id == nullptr) return;
        try {
            CallFrameEntry& entry = values.call_frames.emplace_back();
            entry.frame_id = *frame_id;
            if (const compat::RunningFrame* running = frame.running()) {
                entry.key = frame.key();
                entry.key_check = frame.key_check();
                // A frame object made already is held as before: it costs
                // nothing more and stays readable after the frame returns.
                if (PyFrameObject* object = compat::existing_frame_object(running->frame)) {
                    entry.frame = Ref::borrow(reinterpret_cast<PyObject*>(object));
                } else {
                    entry.running = running->frame;
                    entry.below = running->below;
                    entry.code = Ref::borrow(code);
                    entry.info = info;
                    entry.line_lasti = line >= 0 ? running->lasti : -1;
                    entry.line = line;
                }
            } else {
                entry.frame = Ref::borrow(reinterpret_cast<PyObject*>(frame.known_object()));
            }
        } catch (const std::bad_alloc&) {
            // Out of memory: this frame goes unmarked; its return then pops
            // its caller's entry, which only costs later call sites.
        }
        return;
    }
    // The top entry goes whatever frame it holds: returns are not matched.
    if (!values.call_frames.empty()) {
        CallFrameEntry top = std::move(values.call_frames.back());
        values.call_frames.pop_back();
    }
}

std::optional<FrameId> take_running_frame_id(std::vector<CallFrameEntry>& stack, std::uintptr_t key,
                                             std::uint64_t key_check) noexcept {
    std::size_t looked = 0;
    for (auto entry = stack.rbegin(); entry != stack.rend() && looked < kRunningIdDepth; ++entry, ++looked) {
        if (entry->key == key && entry->key_check == key_check) {
            entry->key = 0;
            return entry->frame_id;
        }
    }
    return std::nullopt;
}

CallFramesSnapshot call_frames_snapshot(ThreadValues& values) {
    CallFramesSnapshot snapshot;
    const auto& stack = values.call_frames;
    const std::size_t first = stack.size() > 2 ? stack.size() - 2 : 0;
    for (std::size_t i = first; i < stack.size(); ++i) snapshot.entries_[snapshot.size_++] = stack[i];
    return snapshot;
}

}  // namespace nefa
