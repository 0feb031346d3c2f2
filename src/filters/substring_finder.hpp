// A forward substring searcher for one fixed needle.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nefa {

class SubstringFinder {
public:
    explicit SubstringFinder(std::string needle) : needle_(std::move(needle)) {}

    // Whether the needle occurs in `haystack`. An empty needle occurs
    // everywhere; one longer than the haystack never does.
    bool find_in(std::string_view haystack) const;

    const std::string& needle() const { return needle_; }

private:
    std::string needle_;
};

// Whether some finder of the list finds its needle, trying them in order.
bool any_finds(const std::vector<SubstringFinder>& finders, std::string_view haystack);

}  // namespace nefa
