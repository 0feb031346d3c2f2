// The frame an event is about: a frame object (the profile hook's), or the
// interpreter's record of the running frame (the monitoring engine's), whose
// frame object is made only when something needs one: plugins, the locals of
// frames that are not plain functions, error reports.
#pragma once

#include "common/compat.hpp"

#include <cstdint>

namespace nefa {

class FrameHandle {
public:
    static FrameHandle of_object(PyFrameObject* frame) { return FrameHandle(frame, compat::RunningFrame{}); }
    // A handle of nothing yet, for find_running.
    FrameHandle() : object_(nullptr) {}

    // Makes this the handle of the frame running `code` on this thread, read
    // in place, when it is the thread's current frame; false (and nothing
    // changed) when not (compat::running_frame_of).
    bool find_running(PyObject* code) { return compat::running_frame_of(code, running_, &object_); }

    // The interpreter's record, or null for a frame object given by the hook.
    const compat::RunningFrame* running() const { return running_.frame != nullptr ? &running_ : nullptr; }

    // The frame object if one is at hand, without making one (may be null).
    PyFrameObject* known_object() const { return object_; }

    // The frame object, made now if the interpreter had none. Borrowed: the
    // running frame keeps it. Throws InternalError when it cannot be had.
    PyFrameObject* object() {
        if (object_ == nullptr && running_.frame != nullptr) object_ = compat::frame_object(running_.frame);
        if (object_ == nullptr) throw InternalError("a running frame has a frame object");
        return object_;
    }

    // What the thread's frame ids are kept under: the frame's address, and a
    // check of what runs there, so that another frame at the address (the
    // interpreter reuses them at once) never takes an unrelated call's id.
    std::uintptr_t key() const {
        return reinterpret_cast<std::uintptr_t>(running_.frame != nullptr ? static_cast<void*>(running_.frame)
                                                                          : static_cast<void*>(object_));
    }
    std::uint64_t key_check() const {
        if (running_.frame == nullptr) return 0;
        const auto code = reinterpret_cast<std::uintptr_t>(running_.code);
        const auto below = reinterpret_cast<std::uintptr_t>(running_.below);
        return (static_cast<std::uint64_t>(code) ^ (static_cast<std::uint64_t>(below) * 0x9E3779B97F4A7C15ULL)) | 1;
    }

private:
    FrameHandle(PyFrameObject* object, const compat::RunningFrame& running) : object_(object), running_(running) {}

    PyFrameObject* object_;
    compat::RunningFrame running_;
};

}  // namespace nefa
