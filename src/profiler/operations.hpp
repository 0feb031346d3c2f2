// The operations of a profiler on an event and at the end of a recording.
// All require the interpreter lock.
#pragma once

#include "filters/code_cache.hpp"
#include "profiler/nefa_profiler.hpp"
#include "utils/fork_epoch.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nefa {

enum class Event { call, return_ };

inline std::string_view event_text(Event event) { return event == Event::call ? "call" : "return"; }

// The records of one event: their type texts and encodings, index by index.
struct EventRecords {
    std::vector<std::string> types;
    FrameList frames;

    void add(std::string type, Bytes frame) {
        types.push_back(std::move(type));
        frames.push_back(std::move(frame));
    }
    bool empty() const { return types.empty(); }
};

// Handles one call or return event; never raises (failures go to log_error).
// False when the frame's code is filtered out and no plugin wants it, so that
// none of its events will ever matter to this profiler.
// `code` is the frame's code, when the caller knows it (null: read it from
// the frame); `known` and `decided` its cache and the profiler's decision in
// it, when the caller has looked them up. `arg` is borrowed: the interpreter
// holds it for the event. `values` are this thread's values in the
// profiler's store, when the caller has them (null: looked up).
bool profile(NefaProfilerObject* self, FrameHandle& frame, PyObject* code, Event event, PyObject* arg,
             CodeInfo* known = nullptr, const CodeDecision* decided = nullptr, ThreadValues* values = nullptr);

// Past the memory budget of a trace that no test's end will follow (not
// one trace per test), an event of code that passed the filters and that no
// plugin wants is only counted as dropped: nothing of it could be kept, so
// it costs about what a filtered event costs. (The attrs caller rule is not
// asked: calls from attrs-generated methods are counted too.) False for any
// other event, and in a forked child before its first event has started
// the child's trace.
inline bool counted_past_cut(ProfilerState& state, const CodeDecision* decided) noexcept {
    if (!state.usage.cut.load(std::memory_order_relaxed)) [[likely]]
        return false;
    if (state.one_trace_per_test || decided == nullptr || decided->verdict == CodeVerdict::skip ||
        decided->processors != nullptr || state.fork_epoch.load(std::memory_order_relaxed) != fork_epoch()) {
        return false;
    }
    state.usage.skipped.store(true, std::memory_order_relaxed);
    state.usage.dropped.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// Reports a Python exception met while processing an event as a warning on
// the "nefa" logger. An error at the recursion limit, or one whose report
// fails, is not reported but counted in `dropped`.
void log_error(DroppedEvents& dropped, FrameHandle& frame, PendingError error, Event event, PyObject* co_filename,
               PyObject* co_name);

// Builds the default record of a kept frame and buffers the event's records.
// `code` is the frame's code, `view` what describe_code said of it and
// `values` this thread's values in the state's store.
void process_frame(ProfilerState& state, FrameHandle& frame, Event event, PyObject* arg, PyObject* code,
                   const CodeView& view, EventRecords& records, ThreadValues& values);

// Keeps the thread's stack of recorded frames in step with its events. At a
// call of a frame read without a frame object, `line` is its line now when
// known (-1: not); `code` and `info` are its code and the code's cache.
void update_call_frames(ThreadValues& values, Event event, const FrameHandle& frame, PyObject* code, CodeInfo* info,
                        const FrameId* frame_id, int line = -1) noexcept;

// The id of the running frame with FrameHandle::key `key` and key_check
// `key_check`, at its return: taken from its entry on the thread's stack of
// recorded frames, where a call pushes it (its return pops the top entry
// then). Only the newest kRunningIdDepth entries are looked at: its own is
// the top one unless returns went unseen, and a frame whose call went unseen
// has no entry at all. Nothing when not found.
inline constexpr std::size_t kRunningIdDepth = 16;
std::optional<FrameId> take_running_frame_id(std::vector<CallFrameEntry>& stack, std::uintptr_t key,
                                             std::uint64_t key_check) noexcept;

// A copy (with new references) of the top of a thread's stack: a call site
// is only ever found among the two newest entries, so a copy of those
// answers as a copy of the whole stack would, without allocating.
class CallFramesSnapshot {
public:
    std::span<const CallFrameEntry> entries() const { return {entries_.data(), size_}; }
    void clear() {
        for (std::size_t i = 0; i < size_; ++i) entries_[i] = CallFrameEntry{};
        size_ = 0;
    }

private:
    friend CallFramesSnapshot call_frames_snapshot(ThreadValues& values);
    std::array<CallFrameEntry, 2> entries_{};
    std::size_t size_ = 0;
};

CallFramesSnapshot call_frames_snapshot(ThreadValues& values);

// This thread's identity, looked up once per thread (and again in a forked child).
const ThreadIdentity& look_up_thread_info(ThreadValues& values);
inline const ThreadIdentity& thread_info(ThreadValues& values) {
    if (!values.thread_info || values.thread_info_epoch != fork_epoch()) [[unlikely]]
        return look_up_thread_info(values);
    return *values.thread_info;
}

// Orders and buffers an event's records, cutting per-test traces at markers.
void push_frames(ProfilerState& state, ThreadValues& values, Event event, EventRecords& records);

// Appends records to the buffer of the thread that made them. Past the
// memory budget, or when memory runs out, the trace is cut and the records
// are counted as dropped instead; `exempt` records (test markers, which say
// where a trace ends) are kept whenever memory can be had.
void push_frame_data(ProfilerState& state, std::uint64_t thread_native_id, FrameList& records, bool exempt = false);

// An event whose only record is the frame's own, outside per-test traces:
// `write(room, context)` writes its `size` bytes straight into the thread's
// buffer, with that buffer's lock held (so it must be quick and run no
// Python code), or aside first when it is large and would leave much of a
// chunk unused; none of the per-event lists are made. Under the budget and
// out of memory as push_frame_data. What `write` throws leaves the buffer's
// records as they were.
using RecordWriter = void (*)(std::uint8_t* room, const void* context);
void write_lone_record(ProfilerState& state, ThreadValues& values, std::size_t size, RecordWriter write,
                       const void* context);

// In a forked child, the first thing any entry point does: the records and
// thread ids inherited from the parent belong to the parent's trace, so the
// child starts its own (new id, empty buffers, the parent's id remembered).
// Cheap when nothing forked. May run Python code; takes no lock before that.
void adopt_fork(ProfilerState& state);
inline void check_fork(ProfilerState& state) {
    if (state.fork_epoch.load(std::memory_order_relaxed) != fork_epoch()) [[unlikely]]
        adopt_fork(state);
}

// Where a document's records lie in it, kept until it is stored so that a
// failed store can put them back.
struct DocumentLayout {
    struct Section {
        bool of_interest;  // frames_of_interest, or the thread below in frames
        std::uint64_t thread;
        std::size_t offset;
        std::size_t bytes;
        std::size_t records;
    };
    std::vector<Section> sections;
    std::uint64_t dropped = 0;
    bool cut = false;
};

// Drains the buffers into one trace document (bytes). Each buffer is
// released as it is copied, so the document costs no more memory than the
// records did. When `layout` is given, it tells where the records went.
Ref build_trace_inner(ProfilerState& state, DocumentLayout* layout = nullptr);

// Puts the records of a document that failed to be stored back in front of
// the buffers.
void restore_drained(ProfilerState& state, PyObject* document, const DocumentLayout& layout);

// Builds the document and hands it to nefa.db.save_trace_in_sqlite.
void save_in_db(ProfilerState& state);

// Methods of NefaProfiler.
PyObject* method_build_trace(PyObject* self, PyObject* unused);
PyObject* method_save_request_in_db(PyObject* self, PyObject* unused);
PyObject* method_stats(PyObject* self, PyObject* unused);
PyObject* method_records_this_thread(PyObject* self, PyObject* unused);
PyObject* method_register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames);

}  // namespace nefa
