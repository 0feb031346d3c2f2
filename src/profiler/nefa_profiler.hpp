// The state of one recording, and the Python object that carries it.
#pragma once

#include "common/refs.hpp"
#include "filters/substring_finder.hpp"
#include "plugins/plugin_processor.hpp"
#include "profiler/dropped_events.hpp"
#include "profiler/per_thread.hpp"
#include "profiler/record_chunks.hpp"
#include "utils/msgpack_writer.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace nefa {

// A value with the mutex that guards it. Our mutexes are only ever held
// around plain C++ work, never while Python code runs, so waiting for one
// with the interpreter lock held cannot deadlock.
template <class T>
struct Guarded {
    std::mutex mutex;
    T value;
};

using ThreadFrames = std::unordered_map<std::uint64_t, RecordChunks>;

// What the trace being collected holds, against its memory budget. Changed
// only with a buffer mutex held, read whole with both held.
struct TraceUsage {
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<bool> cut{false};
    // Set when events past the cut were only counted: the threads' stacks of
    // recorded frames missed them. Each trace that begins after that bumps
    // the generation, and a thread whose stack is of an older one starts
    // it afresh (see counted_past_cut).
    std::atomic<bool> skipped{false};
    std::atomic<std::uint64_t> generation{0};

    void reset() noexcept {
        bytes.store(0, std::memory_order_relaxed);
        dropped.store(0, std::memory_order_relaxed);
        cut.store(false, std::memory_order_relaxed);
        if (skipped.exchange(false, std::memory_order_relaxed)) generation.fetch_add(1, std::memory_order_relaxed);
    }
};

// What the stores of this process made of the traces (for the host's report).
struct StoreCounts {
    std::atomic<std::uint64_t> stored{0};
    std::atomic<std::uint64_t> failed{0};
    std::atomic<std::uint64_t> stored_cut{0};
    std::atomic<std::uint64_t> stored_dropped{0};
};

// How the interpreter hands events over: the per-thread profile hook, or
// sys.monitoring callbacks (3.12+), which can switch filtered code off.
enum class Engine : std::uint8_t { profile, monitoring };

struct ProfilerState {
    // Fields are released in declaration order's reverse by C++; the Python
    // references among them (frames on the call stacks, plugin callables) are
    // released with the interpreter lock held, in the object's dealloc.
    std::string db_path;
    Guarded<std::string> trace_id;
    Guarded<RecordChunks> frames_of_interest;
    Guarded<ThreadFrames> frames;
    std::vector<SubstringFinder> include_frames;
    std::vector<SubstringFinder> ignore_frames;
    Guarded<PluginTable> plugin_processors;
    PerThreadStore per_thread;  // call_frames, frame_ids, thread_info
    std::string source;

    double start_timestamp = 0;
    // When the current trace began: the start time, then each test's start
    // in one-trace-per-test mode. Guarded by trace_id's mutex.
    double trace_timestamp = 0;
    // Atomic: a forked child's first event sets it to the child's own thread.
    std::atomic<std::uint64_t> main_thread_id{0};
    std::uint64_t sqlite_busy_timeout = 60;
    bool one_trace_per_test = false;
    bool threading = false;
    bool lightweight_repr = false;
    Engine engine = Engine::profile;
    // Monitoring engine: the threads whose events come here (see
    // monitoring_engine.hpp). Decremented by ending threads, without the
    // interpreter lock.
    std::atomic<std::uint64_t> monitored_threads{0};

    // Bytes of records one trace may hold; 0 for no limit. Past it the trace
    // is cut: it keeps what it has and counts what it drops.
    std::uint64_t memory_budget = 0;
    TraceUsage usage;
    StoreCounts store_counts;
    // The fork epoch this state belongs to; a child that inherits it starts
    // a trace of its own (see become_fork_child). Guarded by trace_id's mutex.
    std::atomic<std::uint64_t> fork_epoch{0};
    // Set in a forked child: the trace it was forked from. Guarded by trace_id's mutex.
    std::string parent_trace_id;

    // Unique for the life of the process: keys per-code and per-thread caches,
    // which must never mistake a new profiler for a freed one at the same address.
    std::uint64_t serial = 0;
    // Paths in records are relative to the working directory at registration.
    std::string working_directory;
    // Events dropped without a report, told when the trace is read out.
    DroppedEvents dropped;
};

// Builds the state from the host profiler object. Requires the interpreter lock.
std::unique_ptr<ProfilerState> new_from_python(PyObject* profiler);

struct NefaProfilerObject {
    PyObject_HEAD
    ProfilerState* state;
    Py_ssize_t borrow_count;  // shared borrows in progress; never exclusive
};

// The heap type "nefa._nefa.NefaProfiler", created on first use. Borrowed.
PyTypeObject* nefa_profiler_type();
// The same, or null before its first use (for the per-event fast path).
extern PyTypeObject* the_nefa_profiler_type;

// Wraps a state in a new instance (taking it over). New reference.
Ref new_nefa_profiler(std::unique_ptr<ProfilerState> state);

// The receiver as a NefaProfiler, or TypeError naming "NefaProfiler".
NefaProfilerObject* downcast_profiler(PyObject* self);

// A shared borrow of an instance for the duration of a call.
class SharedBorrow {
public:
    explicit SharedBorrow(NefaProfilerObject* self) : self_(self) {
        if (self_->borrow_count < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            throw PyErrOccurred{};
        }
        ++self_->borrow_count;
    }
    ~SharedBorrow() { --self_->borrow_count; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ProfilerState& state() const { return *self_->state; }

private:
    NefaProfilerObject* self_;
};

// The native profile function (the interpreter's Py_tracefunc).
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);

}  // namespace nefa
