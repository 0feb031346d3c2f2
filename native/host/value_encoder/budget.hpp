// How much of one value is encoded, in each of the two modes. The figures are
// part of the documented format (docs/value-forms.md).
#pragma once

#include <cstddef>

namespace nefa::value_encoder {

struct Budget {
    int depth;           // containers this deep are elided
    std::size_t items;   // items (or dict entries) per container
    std::size_t chars;   // characters per str or repr text
    std::size_t bytes;   // bytes per bytes value
    std::size_t nodes;   // values (keys included) per encoded value
    std::size_t output;  // a container stops taking items once this many bytes are written
};

inline constexpr Budget full_budget{32, 50, 1000, 1024, 1000, 32768};
inline constexpr Budget lightweight_budget{3, 16, 128, 64, 128, 512};

// The deepest path the encoder ever walks: the larger depth budget.
inline constexpr int max_depth = 32;

}  // namespace nefa::value_encoder
