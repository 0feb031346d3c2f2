#include "plugins/process_plugin.hpp"

#include "utils/interned.hpp"
#include "utils/serialize.hpp"
#include "utils/text.hpp"
#include "utils/thread_identity.hpp"
#include "utils/timestamp.hpp"

#include <algorithm>

namespace nefa {

namespace {

void set_item(PyObject* data, const char* key, PyObject* value) {
    if (PyDict_SetItemString(data, key, value) < 0) {
        PyErr_Clear();
        throw InternalError("a string is always a valid dict key");
    }
}

Ref text_object(std::string_view text) {
    return Ref::require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool is_mapping(PyObject* result) {
    if (PyDict_Check(result)) return true;
    const Names& n = names();
    try {
        Ref abc = import_module(n.mod_collections_abc);
        Ref mapping = Ref::require(PyObject_GetAttr(abc.get(), n.Mapping));
        return Require(PyObject_IsInstance(result, mapping.get())) != 0;
    } catch (const PyErrOccurred&) {
        // The check itself failed: tell the unraisable hook, call it "not a mapping".
        ensure_error_set();
        PyErr_WriteUnraisable(result);
        return false;
    }
}

std::optional<FrameId> plugin_frame_id(ProfilerState& state, PluginProcessor& processor, PyFrameObject* frame,
                                       Event event) {
    const auto address = reinterpret_cast<std::uintptr_t>(frame);
    // The table's mutex guards the frame-id maps; held for the map work only.
    std::lock_guard lock(state.plugin_processors.mutex);
    if (event == Event::call) {
        FrameId id = FrameId::generate();
        processor.plugin_frame_ids.insert_or_assign(address, id);
        return id;
    }
    // Taken out with the return, so that a later frame at a reused address
    // never carries this call's id.
    auto found = processor.plugin_frame_ids.find(address);
    if (found != processor.plugin_frame_ids.end()) {
        const FrameId id = found->second;
        processor.plugin_frame_ids.erase(found);
        return id;
    }
    return FrameId::generate();
}

}  // namespace

std::optional<PluginRecord> process_plugin(ProfilerState& state, PluginProcessor& processor, FrameHandle& handle,
                                           Event event, PyObject* arg, std::string_view filename) {
    // 1. Path test: a precompiled search, no Python code.
    if (!processor.path_fragment.find_in(filename)) return std::nullopt;
    const Names& n = names();
    PyObject* event_name = event == Event::call ? n.event_call : n.event_return;
    // Plugins are given the frame object itself.
    PyFrameObject* frame = handle.object();
    PyObject* frame_object = reinterpret_cast<PyObject*>(frame);

    // 2. The plugin's own predicate.
    if (processor.call) {
        Ref args = Ref::require(PyTuple_Pack(4, frame_object, event_name, arg, processor.context.get()));
        Ref verdict = Ref::require(PyObject_Call(processor.call.get(), args.get(), nullptr));
        if (!extract_strict_bool(verdict.get())) return std::nullopt;
    }

    // 3. The stack as it was before this event.
    ThreadValues& values = state.per_thread.current(state.serial);
    CallFramesSnapshot snapshot = call_frames_snapshot(values);

    // 4. Events the plugin wants.
    if (processor.events) {
        const auto& wanted = *processor.events;
        if (std::find(wanted.begin(), wanted.end(), event_text(event)) == wanted.end()) return std::nullopt;
    }

    // 5-11. The record's own entries, in their order.
    Ref data = Ref::require(PyDict_New());
    const std::optional<FrameId> frame_id = plugin_frame_id(state, processor, frame, event);
    {
        Ref id = frame_id ? text_object(frame_id->view()) : Ref::borrow(Py_None);
        set_item(data.get(), "frame_id", id.get());
    }
    {
        Ref now = Ref::require(PyFloat_FromDouble(timestamp()));
        set_item(data.get(), "timestamp", now.get());
    }
    {
        const ThreadIdentity identity = current_thread();
        Ref name = text_object(identity.name);
        Ref native_id = Ref::require(PyLong_FromUnsignedLongLong(identity.native_id));
        set_item(data.get(), "thread", name.get());
        set_item(data.get(), "thread_native_id", native_id.get());
    }
    {
        const std::optional<CallSite> site =
            user_code_call_site(snapshot.entries(), frame_id ? &*frame_id : nullptr, handle);
        snapshot.clear();
        Ref value = Ref::borrow(Py_None);
        if (site) {
            value = Ref::require(PyDict_New());
            Ref id = text_object(site->call_frame_id.view());
            Ref line = Ref::require(PyLong_FromLong(site->line_number));
            set_item(value.get(), "call_frame_id", id.get());
            set_item(value.get(), "line_number", line.get());
        }
        set_item(data.get(), "user_code_call_site", value.get());
    }
    {
        Ref type = text_object(event == Event::call ? processor.call_type : processor.return_type);
        set_item(data.get(), "type", type.get());
    }
    if (processor.subtype) {
        Ref subtype = text_object(*processor.subtype);
        set_item(data.get(), "subtype", subtype.get());
    }

    // 12. The plugin's own entries, merged over ours.
    if (processor.process) {
        Ref args = Ref::require(PyTuple_Pack(4, frame_object, event_name, arg, processor.context.get()));
        Ref extra = Ref::require(PyObject_Call(processor.process.get(), args.get(), nullptr));
        if (!is_mapping(extra.get())) throw_downcast_error(extra.get(), "Mapping");
        Require(PyDict_Merge(data.get(), extra.get(), 1));
    }

    // 13.
    PyObject* type = PyDict_GetItemWithError(data.get(), Ref::require(PyUnicode_FromString("type")).get());
    if (type == nullptr) {
        if (PyErr_Occurred()) {
            PyErr_Clear();
            throw InternalError("data[\"type\"] should not raise.");
        }
        throw InternalError("data[\"type\"] should not be missing.");
    }
    Ref type_ref = Ref::borrow(type);
    PluginRecord record;
    record.type = extract_string(type);

    // 14.
    const SerializedValue encoded = serialize_record(data.get(), state.lightweight_repr);
    const auto bytes = encoded.bytes();
    record.bytes.assign(bytes.begin(), bytes.end());
    return record;
}

}  // namespace nefa
