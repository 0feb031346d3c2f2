// One call or return event, from the code object to the buffers.
#include "common/compat.hpp"
#include "filters/builtin_filters.hpp"
#include "filters/code_cache.hpp"
#include "plugins/process_plugin.hpp"
#include "profiler/operations.hpp"
#include "utils/errors.hpp"

namespace nefa {

namespace {

void run_plugins(ProfilerState& state, FrameHandle& frame, Event event, PyObject* arg, const CodeView& code,
                 PyObject* code_object, EventRecords& records) {
    for (PluginProcessor& processor : *code.processors) {
        try {
            if (auto record = process_plugin(state, processor, frame, event, arg, code.filename)) {
                records.add(std::move(record->type), std::move(record->bytes));
            }
        } catch (const PyErrOccurred&) {
            ensure_error_set();
            log_error(state.dropped, frame, PendingError::fetch(), event, compat::code_filename(code_object),
                      compat::code_name(code_object));
        }
    }
}

// An event nothing could be said about: counted, told after the run.
void drop(ProfilerState& state, DropCause cause) {
    PendingError error = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
    if (error.exception() != nullptr && PyErr_GivenExceptionMatches(error.exception(), PyExc_KeyboardInterrupt)) {
        PyErr_SetInterrupt();
        return;
    }
    state.dropped.add(cause);
}

// A new trace began after events were only counted past a cut: the stack
// of recorded frames and the ids missed their calls and returns, so they
// start afresh rather than point later call sites at frames long gone.
[[gnu::noinline]] void forget_skipped(ThreadValues& values, std::uint64_t generation) {
    std::vector<CallFrameEntry> stale = std::move(values.call_frames);
    values.call_frames.clear();
    values.frame_ids = FrameIdMap{};
    values.generation = generation;
}

}  // namespace

bool profile(NefaProfilerObject* self, FrameHandle& frame, PyObject* known_code, Event event, PyObject* arg,
             CodeInfo* known, const CodeDecision* decided, ThreadValues* values) {
    ProfilerState& state = *self->state;
    try {
        // A running frame's code is held by the frame; a frame object's is
        // asked for, and then held here.
        Ref owned_code;
        PyObject* code = known_code;
        if (frame.running() == nullptr) {
            PyFrameObject* object = frame.object();
            if (Py_TYPE(object) != &PyFrame_Type) throw InternalError("Python gives us a PyFrame");
            owned_code = compat::frame_code(object);
            code = owned_code.get();
        }
        const CodeView view = describe_code(code, state, known, decided);

        // The common case, decided per code object: a filtered frame that no
        // plugin wants costs nothing more.
        if (view.verdict == CodeVerdict::skip && view.processors == nullptr) return false;

        EventRecords records;
        if (view.processors != nullptr) run_plugins(state, frame, event, arg, view, code, records);

        bool keep = view.verdict == CodeVerdict::record;
        if (view.verdict == CodeVerdict::ask_callers) keep = !attrs_filter(view.filename, frame);
        if (!keep && records.empty()) return true;

        try {
            ThreadValues& thread_values = values != nullptr ? *values : state.per_thread.current(state.serial);
            const std::uint64_t generation = state.usage.generation.load(std::memory_order_relaxed);
            if (thread_values.generation != generation) [[unlikely]]
                forget_skipped(thread_values, generation);
            if (keep) {
                process_frame(state, frame, event, arg, code, view, records, thread_values);
            } else {
                push_frames(state, thread_values, event, records);
            }
        } catch (const PyErrOccurred&) {
            ensure_error_set();
            log_error(state.dropped, frame, PendingError::fetch(), event, compat::code_filename(code),
                      compat::code_name(code));
        }
    } catch (const InternalError&) {
        drop(state, DropCause::internal_error);
    } catch (const PyErrOccurred&) {
        drop(state,
             PyErr_ExceptionMatches(PyExc_RecursionError) ? DropCause::recursion_limit : DropCause::internal_error);
    } catch (const std::bad_alloc&) {
        drop(state, DropCause::out_of_memory);
    } catch (const std::exception&) {
        drop(state, DropCause::internal_error);
    }
    return true;
}

}  // namespace nefa
