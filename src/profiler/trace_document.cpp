// The trace document: what ran (command line, commit, version), and every
// buffered record, as one MessagePack map.
#include "profiler/operations.hpp"
#include "utils/interned.hpp"
#include "utils/text.hpp"

namespace nefa {

namespace {

struct ProcessFacts {
    std::string version;
    std::optional<std::string> commit;
    std::vector<std::string> argv;
};

// Everything fallible is read before the buffers are touched, so a failure
// leaves every record where it was.
ProcessFacts read_process_facts() {
    const Names& n = names();
    ProcessFacts facts;
    {
        Ref module = import_module(n.mod_version);
        Ref version = Ref::require(PyObject_GetAttr(module.get(), n.dunder_version));
        facts.version = extract_string(version.get());
    }
    {
        Ref module = import_module(n.mod_git);
        Ref commit = Ref::require(PyObject_GetAttr(module.get(), n.commit_sha));
        if (commit.get() != Py_None) facts.commit = extract_string(commit.get());
    }
    {
        Ref sys = import_module(n.mod_sys);
        Ref argv = Ref::require(PyObject_GetAttr(sys.get(), n.argv));
        facts.argv = extract_string_list(argv.get());
    }
    return facts;
}

void write_argv(Bytes& out, const std::vector<std::string>& argv) {
    msgpack::write_str(out, "command_line_args");
    msgpack::write_array_header(out, argv.size());
    for (const auto& item : argv) msgpack::write_str(out, item);
}

void write_frames(Bytes& out, const ThreadFrames& frames) {
    msgpack::write_str(out, "frames");
    msgpack::write_map_header(out, frames.size());
    for (const auto& [thread, records] : frames) {
        msgpack::write_uint(out, thread);
        write_raw_frames_copy(out, records);
    }
}

void write_frames_of_interest(Bytes& out, const FrameList& records) {
    msgpack::write_str(out, "frames_of_interest");
    write_raw_frames_copy(out, records);
}

void write_meta(Bytes& out, std::string_view version, std::string_view source) {
    msgpack::write_str(out, "meta");
    msgpack::write_map_header(out, 3);
    write_str_pair(out, "version", version);
    write_str_pair(out, "source", source);
    msgpack::write_str(out, "use_frame_boundaries");
    msgpack::write_true(out);
}

}  // namespace

Ref build_trace_inner(ProfilerState& state, DrainedRecords* drained) {
    const ProcessFacts facts = read_process_facts();

    // Take the buffers by swapping in empty ones; records pushed from now on
    // go to the next document. The id and the buffers are read together, in
    // the one lock order used everywhere (id, records of interest, frames).
    DrainedRecords taken;
    std::string trace_id;
    double trace_timestamp = 0;
    {
        std::lock_guard id_lock(state.trace_id.mutex);
        std::lock_guard interest_lock(state.frames_of_interest.mutex);
        std::lock_guard frames_lock(state.frames.mutex);
        taken.frames_of_interest.swap(state.frames_of_interest.value);
        taken.frames.swap(state.frames.value);
        trace_id = state.trace_id.value;
        trace_timestamp = state.trace_timestamp;
    }

    Bytes out;
    std::size_t size = 512;
    for (const auto& record : taken.frames_of_interest) size += record.size();
    for (const auto& [thread, records] : taken.frames) {
        for (const auto& record : records) size += record.size();
    }
    out.reserve(size);
    msgpack::write_map_header(out, 8);
    write_argv(out, facts.argv);
    write_str_pair(out, "current_commit_sha",
                   facts.commit ? std::optional<std::string_view>(*facts.commit) : std::nullopt);
    write_frames(out, taken.frames);
    write_frames_of_interest(out, taken.frames_of_interest);
    write_int_pair(out, "main_thread_id", state.main_thread_id);
    write_meta(out, facts.version, state.source);
    write_f64_pair(out, "timestamp", trace_timestamp);
    write_str_pair(out, "trace_id", trace_id);

    Ref document = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                                        static_cast<Py_ssize_t>(out.size())));
    if (!document) {
        // Nothing may be lost because the interpreter is short of memory.
        PendingError error = PendingError::fetch();
        restore_drained(state, std::move(taken));
        error.restore();
        throw PyErrOccurred{};
    }
    if (drained != nullptr) *drained = std::move(taken);
    return document;
}

void restore_drained(ProfilerState& state, DrainedRecords drained) {
    std::lock_guard interest_lock(state.frames_of_interest.mutex);
    std::lock_guard frames_lock(state.frames.mutex);
    FrameList& interest = state.frames_of_interest.value;
    interest.insert(interest.begin(), std::make_move_iterator(drained.frames_of_interest.begin()),
                    std::make_move_iterator(drained.frames_of_interest.end()));
    for (auto& [thread, records] : drained.frames) {
        FrameList& target = state.frames.value[thread];
        target.insert(target.begin(), std::make_move_iterator(records.begin()),
                      std::make_move_iterator(records.end()));
    }
}

}  // namespace nefa
