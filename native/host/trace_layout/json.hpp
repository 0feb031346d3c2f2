// A window as the JSON the viewer's page reads: times in microseconds
// from the trace's start, to the nanosecond, or in nanoseconds as stored.
#pragma once

#include "host/trace_layout/walk.hpp"

#include <string>

namespace nefa::trace_layout {

struct Units {
    long long offset;  // added to every time: nanoseconds from the trace's start
    bool micros;       // false: integer nanoseconds
};

// [{"depth": d, "calls": [[id, start, duration, name, path, line, flags]...],
//   "blocks": [[start, end, count]...]}...]
std::string rows_json(const Window& window, const Units& units);

// [[id, at, name]...]
std::string events_json(const Window& window, const Units& units);

}  // namespace nefa::trace_layout
