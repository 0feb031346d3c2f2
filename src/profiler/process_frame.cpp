// The default record of a kept frame: 12 entries written straight into one
// buffer, with the host-serialised values spliced in as they are.
#include "common/compat.hpp"
#include "common/msgpack_cursor.hpp"
#include "profiler/operations.hpp"
#include "utils/fork_epoch.hpp"
#include "utils/interned.hpp"
#include "utils/paths.hpp"
#include "utils/qualname.hpp"
#include "utils/serialize.hpp"
#include "utils/thread_identity.hpp"
#include "utils/timestamp.hpp"

#include <charconv>

namespace nefa {

namespace {

// The frame's locals as the record shows them: a module's namespace without
// its "__builtins__" (copied, so the module itself keeps it).
Ref record_locals(PyFrameObject* frame) {
    Ref locals = compat::frame_locals_dict(frame);
    if (!PyDict_Check(locals.get())) {
        // A class body whose metaclass __prepare__ made another mapping:
        // record a dict copy of it.
        Ref copy = Ref::require(PyDict_New());
        Require(PyDict_Merge(copy.get(), locals.get(), 1));
        locals = std::move(copy);
    }
    const int has_builtins = PyDict_Contains(locals.get(), names().dunder_builtins);
    if (has_builtins < 0) {
        PyErr_Clear();
        throw InternalError("locals.get(\"__builtins__\") should not raise.");
    }
    if (has_builtins == 0) return locals;
    Ref copy = Ref::steal(PyDict_Copy(locals.get()));
    if (!copy || PyDict_DelItem(copy.get(), names().dunder_builtins) < 0) {
        PyErr_Clear();
        throw InternalError("locals.get(\"__builtins__\") should not raise.");
    }
    return copy;
}

constexpr int kMostPlainLocals = 8;

// The dict the interpreter makes of a function's plain variables (the bound
// ones, in their order), encoded from them without the dict where the
// encoder can (each value held meanwhile: a repr may rebind the frame's
// variables), else made from them; nothing when a variable is named
// "__builtins__".
std::optional<SerializedValue> serialize_plain_locals(ValueSerializer& serializer, PyObject* code, CodeInfo* info,
                                                      PyObject* const* keys, PyObject* const* values, int count) {
    if (variables_name_builtins(code, info)) return std::nullopt;
    const HeldRun held(values, count);
    if (auto encoded = serializer.serialize_map(keys, values, count)) return encoded;
    Ref locals = Ref::require(PyDict_New());
    for (int i = 0; i < count; ++i) Require(PyDict_SetItem(locals.get(), keys[i], values[i]));
    return serializer.serialize(locals.get());
}

// A function's few plain locals go to the encoder straight from the frame,
// read in place, under either engine; anything else is made a dict first.
SerializedValue serialize_locals(ValueSerializer& serializer, FrameHandle& frame, PyObject* code, CodeInfo* info) {
    PyObject* names[kMostPlainLocals];
    PyObject* values[kMostPlainLocals];
    const compat::RunningFrame* running = frame.running();
    if (running != nullptr ? !compat::error_pending(running->thread) : !PyErr_Occurred()) {
        const int count =
            running != nullptr
                ? compat::plain_function_locals(running->frame, running->thread, names, values, kMostPlainLocals)
                : compat::plain_function_locals(frame.object(), names, values, kMostPlainLocals);
        if (count >= 0) {
            if (auto encoded = serializer.serialize_small_map(names, values, count)) return std::move(*encoded);
            if (auto encoded = serialize_plain_locals(serializer, code, info, names, values, count)) {
                return std::move(*encoded);
            }
        }
    }
    Ref locals = record_locals(frame.object());
    return serializer.serialize(locals.get());
}

// Runs update_call_frames exactly once: at step 9, or when the record fails
// before it. Popping may free a frame, whose finalisers must not run with
// our error pending, so a failure's error is set aside meanwhile.
class StackUpdate {
public:
    StackUpdate(ThreadValues& values, Event event, const FrameHandle& frame, PyObject* code, CodeInfo* info,
                const FrameId* id)
        : values_(values), event_(event), frame_(frame), code_(code), info_(info), id_(id) {}
    StackUpdate(const StackUpdate&) = delete;
    StackUpdate& operator=(const StackUpdate&) = delete;
    ~StackUpdate() {
        if (done_) return;
        PendingError error = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
        update_call_frames(values_, event_, frame_, code_, info_, id_, line_);
        error.restore();
    }
    // The frame's line at its call, known to the record: kept with its
    // entry as the last line known of it.
    void set_line(int line) { line_ = line; }
    void run() {
        done_ = true;
        update_call_frames(values_, event_, frame_, code_, info_, id_, line_);
    }

private:
    ThreadValues& values_;
    Event event_;
    const FrameHandle& frame_;
    PyObject* code_;
    CodeInfo* info_;
    const FrameId* id_;
    int line_ = -1;
    bool done_ = false;
};

}  // namespace

const ThreadIdentity& look_up_thread_info(ThreadValues& values) {
    const std::uint64_t epoch = fork_epoch();
    // Made whole before it is kept: a failure leaves the thread unknown,
    // to be looked up again, never half made.
    ThreadIdentity identity = current_thread();
    namespace mp = msgpack;
    identity.record_fields.resize(mp::str_size(6) + mp::str_size(identity.name.size()) + mp::str_size(16) +
                                  mp::uint_size(identity.native_id));
    mp::Cursor w(reinterpret_cast<std::uint8_t*>(identity.record_fields.data()));
    w.str("thread");
    w.str(identity.name);
    w.str("thread_native_id");
    w.uint(identity.native_id);
    values.thread_info = std::move(identity);
    values.thread_info_epoch = epoch;
    return *values.thread_info;
}

void process_frame(ProfilerState& state, FrameHandle& frame, Event event, PyObject* arg, PyObject* code,
                   const CodeView& view, EventRecords& records, ThreadValues& values) {
    const std::string_view co_name = view.name;

    // Frame ids link a call to its return through the frame's address. The id
    // comes first, and the stack of recorded frames is updated however the
    // rest of the record fares: a frame that passed the filters must be on
    // the stack from its call to its return, or every later call site on
    // this thread would point at the wrong frame.
    const WallClock now = wall_clock();
    std::optional<FrameId> frame_id;
    // A running frame's id is kept in its entry on the stack of recorded
    // frames, which its call pushes (step 9) and where its return finds it
    // on top; a frame object's is kept by its address.
    const bool running = frame.running() != nullptr;
    if (event == Event::call) {
        frame_id = values.frame_id_source.next(now.millis);
        if (!running) values.frame_ids.insert_or_assign(frame.key(), *frame_id, frame.key_check());
    } else if (running) {
        frame_id = take_running_frame_id(values.call_frames, frame.key(), frame.key_check());
    } else {
        // The entry goes with the return: frame objects are freed and their
        // addresses reused, and a later frame at the same address must not
        // inherit an unrelated call's id (nor the map grow without end).
        frame_id = values.frame_ids.take(frame.key(), frame.key_check());
    }
    const FrameId* id = frame_id ? &*frame_id : nullptr;
    StackUpdate stack_update(values, event, frame, code, view.info, id);

    // Past the memory budget nothing more of this trace is kept, so the
    // record is not made at all: only the ids and the stack go on, for the
    // call sites of a trace that starts afresh (the next test's).
    if (records.empty()) {
        check_fork(state);
        if (state.usage.cut.load(std::memory_order_relaxed)) {
            stack_update.run();
            state.usage.dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }

    // 1. Who is running.
    const ThreadIdentity& identity = thread_info(values);

    // 2. Where: the file relative to the working directory, and the line.
    const int line = frame_line_number(frame, code, view.info);
    stack_update.set_line(line);
    const std::string_view path = view.relative_path;
    char line_text[16];
    const auto line_end = std::to_chars(line_text, line_text + sizeof line_text, line).ptr;

    // 3, 4.
    const std::shared_ptr<const std::string> qualname = get_qualname_cached(frame, view.qualname);

    // 6. The call site, from the stack as it was before this event.
    // The look-up runs no Python code, so the stack cannot change under it:
    // it reads the live stack instead of a copy.
    const std::optional<CallSite> call_site = user_code_call_site(values.call_frames, id, frame);

    // 7, 8.
    values.value_scratch.reset();
    // The encoder checks for pending errors a few times a value: with the
    // thread's state at hand, each is a load.
    PyThreadState* const thread = frame.running() != nullptr ? frame.running()->thread : PyThreadState_Get();
    ValueSerializer serializer(state.lightweight_repr, &values.value_scratch, thread);
    const SerializedValue arg_bytes = serializer.serialize(arg);
    const SerializedValue locals_bytes = serialize_locals(serializer, frame, code, view.info);

    // 9.
    stack_update.run();

    // 10. Sized first, then written in one pass with no capacity checks.
    namespace mp = msgpack;
    const std::string_view line_digits(line_text, static_cast<std::size_t>(line_end - line_text));
    // A view and a flag rather than an optional view, which GCC's
    // uninitialised-use analysis misreads here.
    const bool has_qualname = qualname != nullptr;
    const std::string_view qualname_text = has_qualname ? std::string_view(*qualname) : std::string_view{};
    const auto arg_raw = arg_bytes.bytes();
    const auto locals_raw = locals_bytes.bytes();
    const bool is_call = event == Event::call;
    const std::size_t size = 1 + mp::str_size(4) + mp::str_size(path.size() + 1 + line_digits.size()) +
                             mp::str_size(7) + mp::str_size(co_name.size()) + mp::str_size(8) +
                             (has_qualname ? mp::str_size(qualname_text.size()) : 1) + mp::str_size(5) +
                             (is_call ? mp::str_size(4) : mp::str_size(6)) + mp::str_size(8) +
                             (id ? mp::str_size(FrameId::kLength) : 1) + mp::str_size(3) + arg_raw.size() +
                             mp::str_size(6) + locals_raw.size() + identity.record_fields.size() + mp::str_size(9) +
                             mp::f64_size + mp::str_size(4) + mp::str_size(5) + mp::str_size(19) +
                             (call_site ? 1 + mp::str_size(13) + mp::str_size(FrameId::kLength) + mp::str_size(11) +
                                              mp::int_size(call_site->line_number)
                                        : 1);
    const auto write = [&](std::uint8_t* to) {
        mp::Cursor w(to);
        w.map_header(12);
        w.str("path");
        w.str_header(path.size() + 1 + line_digits.size());
        w.block(path.data(), path.size());
        w.byte(':');
        w.block(line_digits.data(), line_digits.size());
        w.str("co_name");
        w.str(co_name);
        w.str("qualname");
        has_qualname ? w.str(qualname_text) : w.nil();
        w.str("event");
        is_call ? w.str("call") : w.str("return");
        w.str("frame_id");
        id ? w.str(id->view()) : w.nil();
        w.str("arg");
        w.block(arg_raw.data(), arg_raw.size());
        w.str("locals");
        w.block(locals_raw.data(), locals_raw.size());
        w.block(identity.record_fields.data(), identity.record_fields.size());
        w.str("timestamp");
        w.f64(now.seconds);
        w.str("type");
        w.str("frame");
        w.str("user_code_call_site");
        if (call_site) {
            w.map_header(2);
            w.str("call_frame_id");
            w.str(call_site->call_frame_id.view());
            w.str("line_number");
            w.integer(call_site->line_number);
        } else {
            w.nil();
        }
        if (w.position() != to + size) throw InternalError("Writing to memory, not I/O");
    };

    // 11, 12. Most events make this one record only: it is then written
    // straight into the thread's buffer, with no copy or allocation.
    if (records.empty() && !state.one_trace_per_test) {
        write_lone_record(
            state, values, size,
            [](std::uint8_t* room, const void* context) { (*static_cast<decltype(write) const*>(context))(room); },
            &write);
        return;
    }
    Bytes out(size);
    write(out.data());
    records.add("frame", std::move(out));
    push_frames(state, values, event, records);
}

}  // namespace nefa
