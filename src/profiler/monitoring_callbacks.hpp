// The native functions that sys.monitoring calls for each event (3.12+),
// and the profiler each thread's events go to.
#pragma once

#include "profiler/nefa_profiler.hpp"

#include <span>

namespace nefa {

struct MonitoringCallback {
    const char* event;  // the name in sys.monitoring.events
    const char* name;   // what the callback object's repr calls it
    vectorcallfunc call;
};

// One callback per event: PY_START, PY_RESUME, PY_THROW (calls), PY_RETURN,
// PY_YIELD, PY_UNWIND (returns).
std::span<const MonitoringCallback> monitoring_callbacks();

// The object to register for `callback`: a native callable that the
// interpreter calls through its vectorcall slot. Requires the interpreter lock.
Ref new_monitoring_callback(const MonitoringCallback& callback);

// sys.monitoring covers every thread at once; like the profile hook's
// per-thread profile object, each thread names the profiler its events go
// to (null: none, the events are ignored). The pointer is borrowed: the
// engine keeps the profiler alive while a thread names it.
NefaProfilerObject* thread_profiler() noexcept;
void set_thread_profiler(NefaProfilerObject* profiler) noexcept;

// Called, without the interpreter lock, when a thread that names a
// profiler ends. Set once by the engine.
using ThreadEndNotice = void (*)(NefaProfilerObject* profiler) noexcept;
void on_thread_end(ThreadEndNotice notice) noexcept;

// Whether filtered code may be switched off for good (only while a single
// profiler receives events: what one skips, another may record), and the
// value that does it (sys.monitoring.DISABLE, kept for the life of the
// process). Require the interpreter lock.
void allow_disable(bool allowed) noexcept;
void remember_disable(PyObject* disable);

}  // namespace nefa
