// Building a profiler's state from the host profiler object: configuration
// is read once, here, and never again while recording.
#include "profiler/nefa_profiler.hpp"

#include "common/compat.hpp"
#include "filters/configured_filters.hpp"
#include "utils/fork_epoch.hpp"
#include "utils/interned.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"
#include "utils/timestamp.hpp"

#include <atomic>

namespace nefa {

namespace {

// config.get(key) for a plain dict; a raising look-up is a broken promise.
PyObject* config_get(PyObject* config, const char* key, const char* message) {
    Ref key_object = Ref::require(PyUnicode_FromString(key));
    PyObject* value = PyDict_GetItemWithError(config, key_object.get());
    if (value == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        throw InternalError(message);
    }
    return value;  // borrowed, or null when absent
}

// A flag that is false unless it is exactly a (strict) boolean true.
bool config_flag(PyObject* config, const char* key, const char* message) {
    PyObject* value = config_get(config, key, message);
    if (value == nullptr) return false;
    Ref keep = Ref::borrow(value);
    try {
        return extract_strict_bool(value);
    } catch (const PyErrOccurred&) {
        PyErr_Clear();
        return false;
    }
}

// config["engine"]: absent (or None) means the profile hook.
Engine read_engine(PyObject* config) {
    PyObject* value = config_get(config, "engine", "config.get(\"engine\" should not raise.");
    if (value == nullptr || value == Py_None) return Engine::profile;
    Ref keep = Ref::borrow(value);
    const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    if (text == nullptr) PyErr_Clear();
    const std::string_view name = text != nullptr ? text : "";
    if (name == "profile") return Engine::profile;
    if (name == "monitoring") {
        if (!compat::has_monitoring) {
            PyErr_Format(PyExc_ValueError,
                         "config[\"engine\"] = 'monitoring' needs CPython 3.12 or later (sys.monitoring); "
                         "this is %d.%d: use 'profile'",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION);
            throw PyErrOccurred{};
        }
        return Engine::monitoring;
    }
    PyErr_Format(PyExc_ValueError, "config[\"engine\"] must be 'profile' or 'monitoring', not %R", value);
    throw PyErrOccurred{};
}

std::uint64_t next_serial() {
    static std::atomic<std::uint64_t> serial{1};
    return serial.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

std::unique_ptr<ProfilerState> new_from_python(PyObject* profiler) {
    const Names& n = names();
    auto state = std::make_unique<ProfilerState>();

    // 1.
    Ref config = Ref::require(PyObject_GetAttr(profiler, n.config));
    if (!PyDict_Check(config.get())) throw_downcast_error(config.get(), "PyDict");

    // 2.
    ConfiguredFilters filters = read_configured_filters(config.get());
    state->include_frames = std::move(filters.include_frames);
    state->ignore_frames = std::move(filters.ignore_frames);

    // 3.
    {
        Ref threading = import_module(n.mod_threading);
        Ref main_thread = Ref::require(PyObject_CallMethodNoArgs(threading.get(), n.main_thread));
        Ref native_id = Ref::require(PyObject_GetAttr(main_thread.get(), n.native_id));
        state->main_thread_id = extract_unsigned(native_id.get());
    }

    // 4.
    if (PyObject* timeout =
            config_get(config.get(), "sqlite_busy_timeout", "config.get(\"sqlite_busy_timeout\" should not raise.")) {
        Ref keep = Ref::borrow(timeout);
        state->sqlite_busy_timeout = extract_unsigned(timeout);
    }

    if (PyObject* budget =
            config_get(config.get(), "memory_budget", "config.get(\"memory_budget\" should not raise.")) {
        Ref keep = Ref::borrow(budget);
        if (budget != Py_None) state->memory_budget = extract_unsigned(budget);
    }

    // 5, 6.
    state->threading = config_flag(config.get(), "threading", "config.get(\"threading\" should not raise.");
    state->lightweight_repr =
        config_flag(config.get(), "lightweight_repr", "config.get(\"lightweight_repr\" should not raise.");

    state->engine = read_engine(config.get());

    // 7.
    state->plugin_processors.value = load_plugins(config.get());

    // 8.
    {
        Ref db_path = Ref::require(PyObject_GetAttr(profiler, n.db_path));
        Ref text = Ref::require(PyObject_Str(db_path.get()));
        state->db_path = std::string(utf8_view(text.get()));
    }

    // 9.
    {
        Ref flag = Ref::require(PyObject_GetAttr(profiler, n.one_trace_per_test));
        state->one_trace_per_test = extract_strict_bool(flag.get());
    }

    // 10, 11.
    {
        Ref trace_id = Ref::require(PyObject_GetAttr(profiler, n.trace_id));
        state->trace_id.value = extract_string(trace_id.get());
        Ref source = Ref::require(PyObject_GetAttr(profiler, n.source));
        state->source = extract_string(source.get());
    }

    // Read once: a per-event getcwd() would cost more than the rest of a
    // filtered event, and one base keeps every path of a trace comparable.
    // Without a readable working directory, paths stay absolute.
    state->working_directory = current_directory().value_or(std::string());
    state->serial = next_serial();
    state->fork_epoch = fork_epoch();

    // 12.
    state->start_timestamp = timestamp();
    state->trace_timestamp = state->start_timestamp;
    return state;
}

}  // namespace nefa
