#include "filters/substring_finder.hpp"

#include <cstring>

namespace nefa {

bool SubstringFinder::find_in(std::string_view haystack) const {
    if (needle_.size() > haystack.size()) return false;
    if (needle_.empty()) return true;
    // glibc's memmem is a two-way search: linear, and fast for short needles.
    return memmem(haystack.data(), haystack.size(), needle_.data(), needle_.size()) != nullptr;
}

bool any_finds(const std::vector<SubstringFinder>& finders, std::string_view haystack) {
    for (const auto& finder : finders) {
        if (finder.find_in(haystack)) return true;
    }
    return false;
}

}  // namespace nefa
