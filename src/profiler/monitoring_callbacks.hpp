// The native functions that sys.monitoring calls for each event (3.12+),
// and which threads they record.
#pragma once

#include "utils/refs.hpp"

#include <cstdint>
#include <span>

namespace nefa {

struct MonitoringCallback {
    const char* event;  // the name in sys.monitoring.events
    PyMethodDef* def;   // bound to the NefaProfiler instance when registered
};

// One callback per event: PY_START, PY_RESUME, PY_THROW (calls), PY_RETURN,
// PY_YIELD, PY_UNWIND (returns).
std::span<const MonitoringCallback> monitoring_callbacks();

// The value a callback returns to switch its event off for the code
// location (sys.monitoring.DISABLE). Kept for the life of the process.
// Requires the interpreter lock.
void remember_disable(PyObject* disable);

// The events of the calling thread go to the profiler with `serial` (0: to
// none). sys.monitoring covers every thread at once; this keeps the
// recorded threads to those the profile hook would have covered.
void cover_current_thread(std::uint64_t serial) noexcept;

}  // namespace nefa
