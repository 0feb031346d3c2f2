// The default record of a kept frame: 12 entries written straight into one
// buffer, with the host-serialised values spliced in as they are.
#include "profiler/operations.hpp"
#include "utils/compat.hpp"
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
    if (!PyDict_Check(locals.get())) throw InternalError("f_locals is not a dict");
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

std::uintptr_t address_of(PyFrameObject* frame) { return reinterpret_cast<std::uintptr_t>(frame); }

}  // namespace

const ThreadIdentity& thread_info(ThreadValues& values) {
    if (!values.thread_info) values.thread_info = current_thread();
    return *values.thread_info;
}

void process_frame(ProfilerState& state, PyFrameObject* frame, Event event, PyObject* arg,
                   std::string_view filename, std::string_view co_name, EventRecords& records) {
    ThreadValues& values = state.per_thread.current(state.serial);

    // 1. Who is running.
    const ThreadIdentity& identity = thread_info(values);

    // 2. Where: the file relative to the working directory, and the line.
    const int line = frame_line_number(frame);
    const std::string_view path = path_relative_to(filename, state.working_directory);
    char line_text[16];
    const auto line_end = std::to_chars(line_text, line_text + sizeof line_text, line).ptr;

    // 3, 4.
    const std::optional<std::string> qualname = get_qualname(frame);
    Ref locals = record_locals(frame);

    // 5. Frame ids link a call to its return through the frame's address.
    std::optional<FrameId> frame_id;
    if (event == Event::call) {
        frame_id = FrameId::generate();
        values.frame_ids.insert_or_assign(address_of(frame), *frame_id);
    } else {
        auto found = values.frame_ids.find(address_of(frame));
        if (found != values.frame_ids.end()) frame_id = found->second;
    }
    const FrameId* id = frame_id ? &*frame_id : nullptr;

    // 6. The call site, from the stack as it was before this event.
    std::optional<CallSite> call_site;
    {
        std::vector<CallFrameEntry> snapshot = call_frames_snapshot(values);
        call_site = user_code_call_site(snapshot, id);
    }

    // 7, 8.
    const SerializedValue arg_bytes = serialize_value(arg, state.lightweight_repr);
    const SerializedValue locals_bytes = serialize_value(locals.get(), state.lightweight_repr);

    // 9.
    update_call_frames(values, event, frame, id);

    // 10.
    Bytes out;
    out.reserve(256 + arg_bytes.bytes().size() + locals_bytes.bytes().size());
    msgpack::write_map_header(out, 12);
    msgpack::write_str(out, "path");
    msgpack::write_str_parts(out, {path, ":", std::string_view(line_text, static_cast<std::size_t>(line_end - line_text))});
    write_str_pair(out, "co_name", co_name);
    write_str_pair(out, "qualname", qualname ? std::optional<std::string_view>(*qualname) : std::nullopt);
    write_str_pair(out, "event", event_text(event));
    write_str_pair(out, "frame_id", id ? std::optional<std::string_view>(id->view()) : std::nullopt);
    write_raw_pair(out, "arg", arg_bytes.bytes());
    write_raw_pair(out, "locals", locals_bytes.bytes());
    write_str_pair(out, "thread", identity.name);
    write_int_pair(out, "thread_native_id", identity.native_id);
    write_f64_pair(out, "timestamp", timestamp());
    write_str_pair(out, "type", "frame");
    msgpack::write_str(out, "user_code_call_site");
    if (call_site) {
        msgpack::write_map_header(out, 2);
        write_str_pair(out, "call_frame_id", call_site->call_frame_id.view());
        msgpack::write_str(out, "line_number");
        msgpack::write_int(out, call_site->line_number);
    } else {
        msgpack::write_nil(out);
    }

    // 11, 12.
    records.add("frame", std::move(out));
    push_frames(state, values, event, records);
}

}  // namespace nefa
