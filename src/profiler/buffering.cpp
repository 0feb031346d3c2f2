// Buffering an event's records, and cutting one trace per test.
#include "profiler/operations.hpp"
#include "utils/timestamp.hpp"
#include "utils/ulid.hpp"

#include <algorithm>

namespace nefa {

namespace {

std::string new_trace_id() {
    std::string id = "trc_";
    id.resize(4 + kUlidLength);
    new_ulid(id.data() + 4);
    return id;
}

void start_new_trace(ProfilerState& state) {
    std::string id = new_trace_id();
    const double now = timestamp();
    std::lock_guard trace_lock(state.trace_id.mutex);
    std::lock_guard interest_lock(state.frames_of_interest.mutex);
    std::lock_guard frames_lock(state.frames.mutex);
    state.trace_id.value = std::move(id);
    // A test's trace starts with the test, not with the recording session.
    state.trace_timestamp = now;
    state.frames_of_interest.value.clear();
    state.frames.value.clear();
}

template <class T>
void erase_front(std::vector<T>& list, std::size_t count) {
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace

void push_frames(ProfilerState& state, ThreadValues& values, Event event, EventRecords& records) {
    if (records.empty()) return;
    if (event == Event::return_) {
        // A return's own record comes first, its plugin records after it, so
        // that plugin records enclose the frame's records in the buffer.
        std::reverse(records.types.begin(), records.types.end());
        std::reverse(records.frames.begin(), records.frames.end());
    }
    const std::uint64_t native_id = thread_info(values).native_id;
    if (!state.one_trace_per_test) {
        push_frame_data(state, native_id, records.frames);
        return;
    }
    std::size_t i = 0;
    while (i < records.types.size()) {
        if (records.types[i] == "start_test") {
            // Whatever came before the test's start belongs to no trace.
            erase_front(records.types, i);
            erase_front(records.frames, i);
            start_new_trace(state);
            i = 1;
        } else if (records.types[i] == "end_test") {
            FrameList finished(std::make_move_iterator(records.frames.begin()),
                               std::make_move_iterator(records.frames.begin() + static_cast<std::ptrdiff_t>(i + 1)));
            erase_front(records.types, i + 1);
            erase_front(records.frames, i + 1);
            push_frame_data(state, native_id, finished);
            save_in_db(state);
            i = 0;
        } else {
            ++i;
        }
    }
    push_frame_data(state, native_id, records.frames);
}

void push_frame_data(ProfilerState& state, std::uint64_t thread_native_id, FrameList& records) {
    auto append = [&records](FrameList& target) {
        for (auto& record : records) target.push_back(std::move(record));
    };
    if (state.threading && thread_native_id != state.main_thread_id) {
        std::lock_guard lock(state.frames.mutex);
        append(state.frames.value[thread_native_id]);
    } else {
        std::lock_guard lock(state.frames_of_interest.mutex);
        append(state.frames_of_interest.value);
    }
    records.clear();
}

}  // namespace nefa
