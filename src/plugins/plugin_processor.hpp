// Plugins compiled from the host's descriptions: which function names they
// react to, where, and the Python callables that shape their records.
#pragma once

#include "common/refs.hpp"
#include "filters/substring_finder.hpp"
#include "utils/ulid.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nefa {

struct PluginProcessor {
    SubstringFinder path_fragment;
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    Ref call;     // may be empty
    Ref process;  // may be empty
    std::optional<std::vector<std::string>> events;
    Ref context;  // a dict shared by the processors of one description
    // Frame id given to a frame (by address) at its last recorded call.
    // Guarded by the plugin table's mutex.
    std::unordered_map<std::uintptr_t, FrameId> plugin_frame_ids;
};

// Hashes texts so that a table keyed by std::string can be searched with a
// string_view without allocating.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// Processors by the co_name they handle, in load order within each name.
using PluginTable = std::unordered_map<std::string, std::vector<PluginProcessor>, TextHash, std::equal_to<>>;

// Builds the table from nefa.plugins.load_plugin_data(config). Host failures
// are internal errors; faulty descriptions raise ordinary Python errors.
// Requires the interpreter lock.
PluginTable load_plugins(PyObject* config);

}  // namespace nefa
