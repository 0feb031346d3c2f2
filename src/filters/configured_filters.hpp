// The user's include and ignore path fragments.
#pragma once

#include "common/refs.hpp"
#include "filters/substring_finder.hpp"

#include <string>
#include <vector>

namespace nefa {

std::vector<SubstringFinder> build_finders(std::vector<std::string> patterns);

// Reads config["filters"]["include_frames"] and ["ignore_frames"]: a missing
// or unusable entry gives an empty list, a present one must be a non-str
// sequence of str. Requires the interpreter lock.
struct ConfiguredFilters {
    std::vector<SubstringFinder> include_frames;
    std::vector<SubstringFinder> ignore_frames;
};
ConfiguredFilters read_configured_filters(PyObject* config);

}  // namespace nefa
