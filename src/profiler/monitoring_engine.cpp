#include "profiler/monitoring_engine.hpp"

#include "common/compat.hpp"
#include "profiler/monitoring_callbacks.hpp"
#include "profiler/operations.hpp"
#include "utils/errors.hpp"
#include "utils/interned.hpp"

#include <vector>

namespace nefa {

namespace {

constexpr const char* kToolName = "nefa";

// All of this is changed only with the interpreter lock held.
// Whether nefa holds the id: spares register_noop_profiler any work when
// the engine was never used.
bool holding = false;
// The profilers some thread's events go to, kept alive while they do. Never
// destroyed: at process exit the interpreter is gone.
std::vector<Ref>& live = *new std::vector<Ref>();

struct Monitoring {
    Ref module;   // sys.monitoring
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

void restart_events(const Monitoring& m) {
    Ref function = Ref::require(PyObject_GetAttrString(m.module.get(), "restart_events"));
    Ref result = Ref::require(PyObject_CallNoArgs(function.get()));
}

bool named_nefa(PyObject* name) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kToolName) == 0;
}

// Claims the id when we do not hold it, and (again) puts our callbacks on
// every event we map, so that a new profiler starts clean.
void claim(const Monitoring& m) {
    Ref name = call(m, "get_tool");
    if (name.get() != Py_None && !named_nefa(name.get())) ensure_monitoring_free();  // raises
    if (name.get() == Py_None) {
        Ref tool_name = Ref::require(PyUnicode_FromString(kToolName));
        call(m, "use_tool_id", tool_name.get());
    }
    holding = true;
    remember_disable(Ref::require(PyObject_GetAttrString(m.module.get(), "DISABLE")).get());
    on_thread_end([](NefaProfilerObject* profiler) noexcept {
        profiler->state->monitored_threads.fetch_sub(1, std::memory_order_relaxed);
    });
    Ref events = Ref::require(PyObject_GetAttrString(m.module.get(), "events"));
    unsigned long mask = 0;
    for (const MonitoringCallback& callback : monitoring_callbacks()) {
        Ref event = Ref::require(PyObject_GetAttrString(events.get(), callback.event));
        Ref function = new_monitoring_callback(callback);
        call(m, "register_callback", event.get(), function.get());
        mask |= PyLong_AsUnsignedLong(event.get());
        if (PyErr_Occurred()) throw PyErrOccurred{};
    }
    Ref mask_object = Ref::require(PyLong_FromUnsignedLong(mask));
    call(m, "set_events", mask_object.get());
}

void release(const Monitoring& m) {
    holding = false;
    allow_disable(false);
    Ref name = call(m, "get_tool");
    if (!named_nefa(name.get())) return;
    Ref zero = Ref::require(PyLong_FromLong(0));
    call(m, "set_events", zero.get());
    Ref events = Ref::require(PyObject_GetAttrString(m.module.get(), "events"));
    for (const MonitoringCallback& callback : monitoring_callbacks()) {
        Ref event = Ref::require(PyObject_GetAttrString(events.get(), callback.event));
        call(m, "register_callback", event.get(), Py_None);
    }
    // The next holder of the id must not inherit the locations we switched off.
    restart_events(m);
    call(m, "free_tool_id");
}

NefaProfilerObject* as_profiler(PyObject* instance) { return reinterpret_cast<NefaProfilerObject*>(instance); }

// Drops the profilers no thread sends events to any more (released last);
// lets filtered code be switched off for good only while a single profiler
// is live, and gives the id back when none is left.
void sweep(const Monitoring& m) {
    std::vector<Ref> doomed;  // released last: a profiler's release may run Python code
    for (auto it = live.begin(); it != live.end();) {
        if (as_profiler(it->get())->state->monitored_threads.load(std::memory_order_relaxed) == 0) {
            doomed.push_back(std::move(*it));
            it = live.erase(it);
        } else {
            ++it;
        }
    }
    allow_disable(live.size() == 1);
    if (live.empty() && holding) release(m);
}

// Sends the calling thread's events to `instance` (null: nowhere). True when
// `instance` had no thread before.
bool cover(const Monitoring& m, PyObject* instance) {
    NefaProfilerObject* old = thread_profiler();
    NefaProfilerObject* next = instance != nullptr ? as_profiler(instance) : nullptr;
    if (old == next) return false;
    bool added = false;
    if (next != nullptr) {
        added = next->state->monitored_threads.fetch_add(1, std::memory_order_relaxed) == 0;
        bool listed = false;
        for (const Ref& entry : live) listed = listed || entry.get() == instance;
        if (!listed) live.push_back(Ref::borrow(instance));
    }
    set_thread_profiler(next);
    if (old != nullptr) old->state->monitored_threads.fetch_sub(1, std::memory_order_relaxed);
    sweep(m);
    return added;
}

}  // namespace

void ensure_monitoring_free() {
    const Monitoring m = monitoring();
    Ref name = call(m, "get_tool");
    if (name.get() == Py_None || named_nefa(name.get())) return;
    PyErr_Format(PyExc_RuntimeError,
                 "sys.monitoring's profiler id (%S) is held by %R: stop that profiler first, or choose "
                 "the 'profile' engine",
                 m.tool_id.get(), name.get());
    throw PyErrOccurred{};
}

void start_monitoring(PyObject* instance) {
    const Monitoring m = monitoring();
    claim(m);
    cover(m, instance);
    // Code an earlier configuration switched off may matter to this one.
    restart_events(m);
}

void monitor_this_thread(PyObject* instance) noexcept {
    try {
        const Monitoring m = monitoring();
        if (!holding) claim(m);
        if (cover(m, instance)) restart_events(m);
    } catch (...) {
        // Another tool took the id meanwhile: this thread is not recorded.
        PyErr_Clear();
    }
}

void stop_monitoring_this_thread() {
    if (!holding) return;
    const Monitoring m = monitoring();
    cover(m, nullptr);
}

}  // namespace nefa

namespace nefa {

// With the interpreter lock held. Under the profile engine the thread's
// profile object says the same (sys.getprofile()).
PyObject* method_records_this_thread(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            NefaProfilerObject* profiler = downcast_profiler(self);
            return Py_NewRef(thread_profiler() == profiler ? Py_True : Py_False);
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace nefa
