// sys.monitoring as the source of events (3.12+): the profiler tool id,
// claimed, pointed at one profiler and given back.
#pragma once

#include "profiler/nefa_profiler.hpp"

namespace nefa {

// Raises RuntimeError naming the holder when a tool other than nefa holds
// sys.monitoring.PROFILER_ID. Requires the interpreter lock.
void ensure_monitoring_free();

// Claims the id (or keeps it, when an earlier profiler of ours holds it),
// points every callback at `instance`, re-enables what an earlier
// configuration switched off, and records the calling thread. Requires the
// interpreter lock.
void start_monitoring(PyObject* instance);

// When nefa holds the id: switches every event off, drops the callbacks
// (and with them their references to the profiler) and gives the id back.
// Nothing otherwise. Requires the interpreter lock.
void stop_monitoring();

}  // namespace nefa
