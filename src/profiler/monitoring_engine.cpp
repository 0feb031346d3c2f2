#include "profiler/monitoring_engine.hpp"

#include "profiler/monitoring_callbacks.hpp"
#include "utils/compat.hpp"
#include "utils/interned.hpp"

namespace nefa {

namespace {

constexpr const char* kToolName = "nefa";

// Whether this process's nefa holds the id: spares register_noop_profiler
// any work when the engine was never used.
bool holding = false;

struct Monitoring {
    Ref module;  // sys.monitoring
    Ref tool_id;  // sys.monitoring.PROFILER_ID
};

Monitoring monitoring() {
    Ref sys = import_module(names().mod_sys);
    Ref module = Ref::require(PyObject_GetAttrString(sys.get(), "monitoring"));
    Ref tool_id = Ref::require(PyObject_GetAttrString(module.get(), "PROFILER_ID"));
    return {std::move(module), std::move(tool_id)};
}

Ref call(const Monitoring& m, const char* method, PyObject* second = nullptr, PyObject* third = nullptr) {
    Ref function = Ref::require(PyObject_GetAttrString(m.module.get(), method));
    PyObject* args[] = {m.tool_id.get(), second, third};
    const std::size_t count = third != nullptr ? 3 : second != nullptr ? 2 : 1;
    return Ref::require(PyObject_Vectorcall(function.get(), args, count, nullptr));
}

Ref call_no_id(const Monitoring& m, const char* method) {
    Ref function = Ref::require(PyObject_GetAttrString(m.module.get(), method));
    return Ref::require(PyObject_CallNoArgs(function.get()));
}

// The holder's name, or None. New reference.
Ref holder(const Monitoring& m) { return call(m, "get_tool"); }

bool held_by_us(PyObject* name) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kToolName) == 0;
}

Ref event_number(PyObject* events, const char* name) {
    return Ref::require(PyObject_GetAttrString(events, name));
}

}  // namespace

void ensure_monitoring_free() {
    const Monitoring m = monitoring();
    Ref name = holder(m);
    if (name.get() == Py_None || held_by_us(name.get())) return;
    PyErr_Format(PyExc_RuntimeError,
                 "sys.monitoring's profiler id (%S) is held by %R: stop that profiler first, or choose "
                 "the 'profile' engine",
                 m.tool_id.get(), name.get());
    throw PyErrOccurred{};
}

void start_monitoring(PyObject* instance) {
    const Monitoring m = monitoring();
    Ref name = holder(m);
    if (name.get() == Py_None) {
        Ref tool_name = Ref::require(PyUnicode_FromString(kToolName));
        call(m, "use_tool_id", tool_name.get());
    } else if (!held_by_us(name.get())) {
        ensure_monitoring_free();  // raises, naming the holder
    }
    holding = true;
    remember_disable(Ref::require(PyObject_GetAttrString(m.module.get(), "DISABLE")).get());

    Ref events = Ref::require(PyObject_GetAttrString(m.module.get(), "events"));
    Ref module_name = Ref::require(PyUnicode_FromString("_nefa"));
    unsigned long mask = 0;
    for (const MonitoringCallback& callback : monitoring_callbacks()) {
        Ref event = event_number(events.get(), callback.event);
        Ref function = Ref::require(PyCFunction_NewEx(callback.def, instance, module_name.get()));
        call(m, "register_callback", event.get(), function.get());
        mask |= PyLong_AsUnsignedLong(event.get());
        if (PyErr_Occurred()) throw PyErrOccurred{};
    }
    Ref mask_object = Ref::require(PyLong_FromUnsignedLong(mask));
    call(m, "set_events", mask_object.get());
    // Code an earlier configuration switched off may matter to this one.
    call_no_id(m, "restart_events");
    cover_current_thread(reinterpret_cast<NefaProfilerObject*>(instance)->state->serial);
}

void stop_monitoring() {
    if (!holding) return;
    const Monitoring m = monitoring();
    Ref name = holder(m);
    cover_current_thread(0);
    if (!held_by_us(name.get())) {
        holding = false;
        return;
    }
    Ref zero = Ref::require(PyLong_FromLong(0));
    call(m, "set_events", zero.get());
    Ref events = Ref::require(PyObject_GetAttrString(m.module.get(), "events"));
    for (const MonitoringCallback& callback : monitoring_callbacks()) {
        Ref event = event_number(events.get(), callback.event);
        call(m, "register_callback", event.get(), Py_None);
    }
    // The next holder of the id must not inherit the locations we switched off.
    call_no_id(m, "restart_events");
    call(m, "free_tool_id");
    holding = false;
}

}  // namespace nefa
