// MessagePack extension type codes of the recorded value forms: their one
// definition, which the reader (trace_export/brief.cpp) and, through
// nefa._native.VALUE_FORM_CODES, the Python readers use too.
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

// Each code by the name nefa._native gives it.
struct ExtName {
    Ext code;
    const char* name;
};

inline constexpr ExtName ext_names[] = {
    {Ext::tuple, "tuple"},     {Ext::set, "set"},     {Ext::frozenset, "frozenset"},
    {Ext::repr, "repr"},       {Ext::cut, "cut"},     {Ext::more_items, "more_items"},
    {Ext::elided, "elided"},   {Ext::cycle, "cycle"}, {Ext::unprintable, "unprintable"},
    {Ext::big_int, "big_int"}, {Ext::dict, "dict"},   {Ext::bytearray, "bytearray"},
};

}  // namespace nefa::value_encoder
