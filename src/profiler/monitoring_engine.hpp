// sys.monitoring as the source of events (3.12+): the profiler tool id,
// claimed while some thread's events go to a profiler of ours, and given
// back when none do.
#pragma once

#include "profiler/nefa_profiler.hpp"

namespace nefa {

// Raises RuntimeError naming the holder when a tool other than nefa holds
// sys.monitoring.PROFILER_ID. Requires the interpreter lock.
void ensure_monitoring_free();

// Claims the id (unless nefa holds it already), sends the calling thread's
// events to `instance`, and re-enables whatever an earlier configuration
// switched off. Requires the interpreter lock.
void start_monitoring(PyObject* instance);

// For a thread started after registration (the threading hook): sends its
// events to `instance`. Nothing when the id is held by another tool.
// Requires the interpreter lock.
void monitor_this_thread(PyObject* instance) noexcept;

// The calling thread's events go nowhere any more. Once no thread's go to a
// profiler of ours, every event is switched off, the callbacks are dropped
// and the id is given back. Requires the interpreter lock.
void stop_monitoring_this_thread();

}  // namespace nefa
