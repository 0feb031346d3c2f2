// Buffering an event's records, and cutting one trace per test.
#include "profiler/operations.hpp"
#include "utils/fork_epoch.hpp"
#include "utils/interned.hpp"
#include "utils/text.hpp"
#include "utils/timestamp.hpp"
#include "utils/ulid.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <span>
#include <utility>

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
    state.usage.reset();
}

template <class T>
void erase_front(std::vector<T>& list, std::size_t count) {
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace

void push_frames(ProfilerState& state, ThreadValues& values, Event event, EventRecords& records) {
    if (records.empty()) return;
    check_fork(state);
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
                               std::make_move_iterator(records.frames.begin() + static_cast<std::ptrdiff_t>(i)));
            FrameList marker(std::make_move_iterator(records.frames.begin() + static_cast<std::ptrdiff_t>(i)),
                             std::make_move_iterator(records.frames.begin() + static_cast<std::ptrdiff_t>(i + 1)));
            erase_front(records.types, i + 1);
            erase_front(records.frames, i + 1);
            push_frame_data(state, native_id, finished);
            push_frame_data(state, native_id, marker, /*exempt=*/true);
            save_in_db(state);
            i = 0;
        } else {
            ++i;
        }
    }
    push_frame_data(state, native_id, records.frames);
}

namespace {

void count_dropped(TraceUsage& usage, std::size_t records) {
    // Once cut, a trace stays cut: a later small record kept after dropped
    // ones would make a trace with holes in it.
    usage.cut.store(true, std::memory_order_relaxed);
    usage.dropped.fetch_add(records, std::memory_order_relaxed);
}

// Whether `bytes` more may be buffered; if not, the trace is cut and
// `records` are counted as dropped.
bool within_budget(ProfilerState& state, std::uint64_t bytes, std::size_t records, bool exempt) {
    TraceUsage& usage = state.usage;
    const std::uint64_t held = usage.bytes.load(std::memory_order_relaxed);
    const bool over = state.memory_budget != 0 && held + bytes > state.memory_budget;
    if (!exempt && (over || usage.cut.load(std::memory_order_relaxed))) {
        count_dropped(usage, records);
        return false;
    }
    return true;
}

// Runs `use` on the buffer of the thread that made `records` records, with
// that buffer's lock held; counts them dropped when there is none to be had.
template <class Use>
void with_thread_buffer(ProfilerState& state, std::uint64_t thread_native_id, std::size_t records, Use&& use) {
    if (state.threading && thread_native_id != state.main_thread_id.load(std::memory_order_relaxed)) {
        std::lock_guard lock(state.frames.mutex);
        RecordChunks* target = nullptr;
        try {
            target = &state.frames.value[thread_native_id];
        } catch (const std::bad_alloc&) {
            count_dropped(state.usage, records);
        }
        if (target != nullptr) use(*target);
    } else {
        std::lock_guard lock(state.frames_of_interest.mutex);
        use(state.frames_of_interest.value);
    }
}

// `records` is a range of byte spans, each one whole record.
template <class Records>
void append_records(ProfilerState& state, std::uint64_t thread_native_id, const Records& records, bool exempt) {
    std::uint64_t batch = 0;
    for (const auto& record : records) batch += record.size();
    with_thread_buffer(state, thread_native_id, records.size(), [&](RecordChunks& target) {
        if (!within_budget(state, batch, records.size(), exempt)) return;
        std::uint64_t kept = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (!target.append(records[i])) {
                // Out of memory: the program comes first.
                count_dropped(state.usage, records.size() - i);
                break;
            }
            kept += records[i].size();
        }
        state.usage.bytes.fetch_add(kept, std::memory_order_relaxed);
    });
}

// A large record where the last chunk has much room left but not enough:
// written aside and appended across chunks, so that the room is not left
// unused.
[[gnu::noinline]] void write_aside(ProfilerState& state, std::uint64_t native_id, std::size_t size, RecordWriter write,
                                   const void* context) {
    Bytes aside(size);
    write(aside.data(), context);
    const std::array<std::span<const std::uint8_t>, 1> records{aside};
    append_records(state, native_id, records, /*exempt=*/false);
}

}  // namespace

void push_frame_data(ProfilerState& state, std::uint64_t thread_native_id, FrameList& records, bool exempt) {
    if (records.empty()) return;
    append_records(state, thread_native_id, records, exempt);
    records.clear();
}

void write_lone_record(ProfilerState& state, ThreadValues& values, std::size_t size, RecordWriter write,
                       const void* context) {
    check_fork(state);
    const std::uint64_t native_id = thread_info(values).native_id;
    bool in_place = true;
    with_thread_buffer(state, native_id, 1, [&](RecordChunks& target) {
        if (!within_budget(state, size, 1, /*exempt=*/false)) return;
        if (!target.fits_in_place(size)) [[unlikely]] {
            in_place = false;
            return;
        }
        std::uint8_t* room = target.claim(size);
        if (room == nullptr) {
            count_dropped(state.usage, 1);  // out of memory: the program comes first
            return;
        }
        write(room, context);
        target.commit(size);
        state.usage.bytes.fetch_add(size, std::memory_order_relaxed);
    });
    if (!in_place) [[unlikely]]
        write_aside(state, native_id, size, write, context);
}

void adopt_fork(ProfilerState& state) {
    const std::uint64_t epoch = fork_epoch();
    if (state.fork_epoch.load(std::memory_order_relaxed) == epoch) return;
    // The child's main thread is the one that forked.
    std::uint64_t main_id = 0;
    {
        const Names& n = names();
        Ref threading = import_module(n.mod_threading);
        Ref main_thread = Ref::require(PyObject_CallMethodNoArgs(threading.get(), n.main_thread));
        Ref ident = Ref::require(PyObject_GetAttrString(main_thread.get(), "ident"));  // once per fork
        if (extract_unsigned(ident.get()) == PyThread_get_thread_ident()) {
            main_id = PyThread_get_thread_native_id();
        } else {
#ifdef __linux__
            // The one thread a process starts with has the process's id.
            main_id = static_cast<std::uint64_t>(getpid());
#else
            Ref native_id = Ref::require(PyObject_GetAttr(main_thread.get(), n.native_id));
            main_id = extract_unsigned(native_id.get());
#endif
        }
    }
    std::string id = new_trace_id();
    const double now = timestamp();
    std::lock_guard trace_lock(state.trace_id.mutex);
    std::lock_guard interest_lock(state.frames_of_interest.mutex);
    std::lock_guard frames_lock(state.frames.mutex);
    if (state.fork_epoch.load(std::memory_order_relaxed) == epoch) return;  // another thread was first
    state.parent_trace_id = std::exchange(state.trace_id.value, std::move(id));
    state.trace_timestamp = now;
    state.frames_of_interest.value.clear();
    state.frames.value.clear();
    state.usage.reset();
    state.store_counts.stored = 0;
    state.store_counts.failed = 0;
    state.store_counts.stored_cut = 0;
    state.store_counts.stored_dropped = 0;
    state.main_thread_id.store(main_id, std::memory_order_relaxed);
    state.fork_epoch.store(epoch, std::memory_order_relaxed);
}

}  // namespace nefa
