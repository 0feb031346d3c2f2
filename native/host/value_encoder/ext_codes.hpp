// MessagePack extension type codes of the recorded value forms.
#pragma once

#include <cstdint>

namespace nefa::value_encoder {

enum class Ext : std::int8_t {
    tuple = 1,
    set = 2,
    frozenset = 3,
    repr = 4,
    cut = 5,
    more_items = 6,
    elided = 7,
    cycle = 8,
    unprintable = 9,
    big_int = 10,
    dict = 11,
    bytearray = 12,
};

}  // namespace nefa::value_encoder
