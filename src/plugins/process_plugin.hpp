// Running one plugin processor on an event: a record of its own when the
// frame and event are the plugin's business.
#pragma once

#include "plugins/plugin_processor.hpp"
#include "profiler/operations.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace nefa {

struct PluginRecord {
    std::string type;
    Bytes bytes;
};

// Nothing when the processor does not apply; throws PyErrOccurred when the
// plugin's code or the serialiser fails. Calls Python code without holding
// any mutex of ours. Requires the interpreter lock.
std::optional<PluginRecord> process_plugin(ProfilerState& state, PluginProcessor& processor, FrameHandle& frame,
                                           Event event, PyObject* arg, std::string_view filename);

}  // namespace nefa
