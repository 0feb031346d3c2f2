// The trace document: what ran (command line, commit, version), and every
// buffered record, as one MessagePack map.
#include "common/msgpack_cursor.hpp"
#include "profiler/operations.hpp"
#include "utils/interned.hpp"
#include "utils/text.hpp"

#include <cstring>

namespace nefa {

namespace {

// A command-line argument: UTF-8 text, or the bytes the system gave when
// they are not UTF-8 (the interpreter decodes those with surrogateescape).
struct Argument {
    std::string bytes;
    bool is_text = true;
};

struct ProcessFacts {
    std::string version;
    std::optional<std::string> commit;
    std::vector<Argument> argv;
};

Argument read_argument(PyObject* item) {
    if (!PyUnicode_Check(item)) throw_downcast_error(item, "PyString");
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(item, &size)) {
        return {std::string(data, static_cast<std::size_t>(size)), true};
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrOccurred{};
    PyErr_Clear();
    if (Ref raw = Ref::steal(PyUnicode_EncodeFSDefault(item))) {
        char* data = nullptr;
        Require(PyBytes_AsStringAndSize(raw.get(), &data, &size));
        return {std::string(data, static_cast<std::size_t>(size)), false};
    }
    // A lone surrogate of the program's own making, not one from the system.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrOccurred{};
    PyErr_Clear();
    return {utf8_lossy(item), true};
}

std::vector<Argument> read_argv(PyObject* argv) {
    if (PyUnicode_Check(argv)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PyErrOccurred{};
    }
    if (!PySequence_Check(argv)) throw_downcast_error(argv, "Sequence");
    std::vector<Argument> out;
    Ref iterator = Ref::require(PyObject_GetIter(argv));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) out.push_back(read_argument(item.get()));
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return out;
}

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
        // As the credential rule shows it: `--password=...` is not kept.
        Ref redaction = import_module(n.mod_redaction);
        Ref command_line = Ref::require(PyObject_GetAttr(redaction.get(), n.command_line));
        Ref shown = Ref::require(PyObject_CallOneArg(command_line.get(), argv.get()));
        facts.argv = read_argv(shown.get());
    }
    return facts;
}

void write_argv(Bytes& out, const std::vector<Argument>& argv) {
    msgpack::write_str(out, "command_line_args");
    msgpack::write_array_header(out, argv.size());
    for (const auto& item : argv) {
        if (item.is_text) {
            msgpack::write_str(out, item.bytes);
        } else {
            msgpack::write_bin(out, item.bytes);
        }
    }
}

// Facts a document carries beyond the fixed three only when they apply, so
// that every other document stays as it always was.
struct MetaExtras {
    std::string parent_trace_id;  // empty unless a forked child
    bool cut = false;
    std::uint64_t dropped = 0;
};

void write_meta(Bytes& out, std::string_view version, std::string_view source, const MetaExtras& extras) {
    msgpack::write_str(out, "meta");
    const bool forked = !extras.parent_trace_id.empty();
    msgpack::write_map_header(out, 3 + (forked ? 1 : 0) + (extras.cut ? 2 : 0));
    write_str_pair(out, "version", version);
    write_str_pair(out, "source", source);
    msgpack::write_str(out, "use_frame_boundaries");
    msgpack::write_true(out);
    if (forked) write_str_pair(out, "parent_trace_id", extras.parent_trace_id);
    if (extras.cut) {
        msgpack::write_str(out, "cut");
        msgpack::write_true(out);
        write_int_pair(out, "dropped_events", extras.dropped);
    }
}

// The array header of a list of records, then the records themselves.
std::size_t records_size(const RecordChunks& records) {
    return msgpack::header_size(records.record_count()) + records.byte_count();
}

class DocumentWriter {
public:
    explicit DocumentWriter(std::uint8_t* at) : at_(at), start_(at) {}
    void raw(const Bytes& bytes) {
        if (!bytes.empty()) std::memcpy(at_, bytes.data(), bytes.size());
        at_ += bytes.size();
    }
    void uint(std::uint64_t value) {
        msgpack::Cursor cursor(at_);
        cursor.uint(value);
        at_ = cursor.position();
    }
    // Moves the records in, releasing their memory as it goes.
    DocumentLayout::Section records(RecordChunks& records, bool of_interest, std::uint64_t thread) {
        msgpack::Cursor cursor(at_);
        cursor.array_header(records.record_count());
        at_ = cursor.position();
        DocumentLayout::Section section{of_interest, thread, static_cast<std::size_t>(at_ - start_),
                                        records.byte_count(), records.record_count()};
        records.drain_into(at_);
        at_ += section.bytes;
        return section;
    }
    std::size_t written() const { return static_cast<std::size_t>(at_ - start_); }

private:
    std::uint8_t* at_;
    std::uint8_t* start_;
};

}  // namespace

Ref build_trace_inner(ProfilerState& state, DocumentLayout* layout) {
    const ProcessFacts facts = read_process_facts();
    check_fork(state);

    // The id and the buffers are read together, in the one lock order used
    // everywhere (id, records of interest, frames); records pushed once the
    // locks are released go to the next document.
    std::lock_guard id_lock(state.trace_id.mutex);
    std::lock_guard interest_lock(state.frames_of_interest.mutex);
    std::lock_guard frames_lock(state.frames.mutex);
    RecordChunks& interest = state.frames_of_interest.value;
    ThreadFrames& frames = state.frames.value;

    MetaExtras extras;
    extras.parent_trace_id = state.parent_trace_id;
    extras.cut = state.usage.cut.load(std::memory_order_relaxed);
    extras.dropped = state.usage.dropped.load(std::memory_order_relaxed);

    // The small entries are written first, on their own; the records go
    // straight from their buffers into the document, sized exactly up front.
    Bytes head;
    msgpack::write_map_header(head, 8);
    write_argv(head, facts.argv);
    write_str_pair(head, "current_commit_sha",
                   facts.commit ? std::optional<std::string_view>(*facts.commit) : std::nullopt);
    msgpack::write_str(head, "frames");
    msgpack::write_map_header(head, frames.size());
    Bytes interest_key;
    msgpack::write_str(interest_key, "frames_of_interest");
    Bytes tail;
    write_int_pair(tail, "main_thread_id", state.main_thread_id.load(std::memory_order_relaxed));
    write_meta(tail, facts.version, state.source, extras);
    write_f64_pair(tail, "timestamp", state.trace_timestamp);
    write_str_pair(tail, "trace_id", state.trace_id.value);

    std::size_t size = head.size() + interest_key.size() + records_size(interest) + tail.size();
    for (const auto& [thread, records] : frames) size += msgpack::uint_size(thread) + records_size(records);

    // Allocated before anything is drained: without the memory for it, every
    // record stays where it was.
    Ref document = Ref::require(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    DocumentWriter writer(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(document.get())));
    DocumentLayout sections;
    sections.cut = extras.cut;
    sections.dropped = extras.dropped;
    writer.raw(head);
    for (auto& [thread, records] : frames) {
        writer.uint(thread);
        sections.sections.push_back(writer.records(records, false, thread));
    }
    writer.raw(interest_key);
    sections.sections.push_back(writer.records(interest, true, 0));
    writer.raw(tail);
    if (writer.written() != size) throw InternalError("the trace document was sized wrongly");

    frames.clear();
    state.usage.reset();
    if (layout != nullptr) *layout = std::move(sections);
    return document;
}

void restore_drained(ProfilerState& state, PyObject* document, const DocumentLayout& layout) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(document));
    std::lock_guard interest_lock(state.frames_of_interest.mutex);
    std::lock_guard frames_lock(state.frames.mutex);
    std::uint64_t restored = 0;
    for (const auto& section : layout.sections) {
        if (section.records == 0) continue;
        RecordChunks records;
        if (!records.append({bytes + section.offset, section.bytes}, section.records)) throw std::bad_alloc();
        RecordChunks& target =
            section.of_interest ? state.frames_of_interest.value : state.frames.value[section.thread];
        target.prepend(std::move(records));
        restored += section.bytes;
    }
    state.usage.bytes.fetch_add(restored, std::memory_order_relaxed);
    state.usage.dropped.fetch_add(layout.dropped, std::memory_order_relaxed);
    if (layout.cut) state.usage.cut.store(true, std::memory_order_relaxed);
}

}  // namespace nefa
