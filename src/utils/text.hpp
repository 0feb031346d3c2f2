// Conversions of Python values to C++ text, lists and numbers, with the
// error texts the module promises.
#pragma once

#include "common/refs.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nefa {

// The interpreter's cached UTF-8 of a str (no copy). Strict: lone surrogates
// raise UnicodeEncodeError. The view lives as long as the str object.
std::string_view utf8_view(PyObject* str);

// UTF-8 of a str with lone surrogates replaced by U+FFFD; never fails for a str.
std::string utf8_lossy(PyObject* str);

// str(obj) as UTF-8, lone surrogates replaced. If str() raises, the error is
// cleared (a KeyboardInterrupt is re-scheduled as a pending interrupt) and
// the text reads "<unprintable T object>". Never fails.
std::string display_text(PyObject* obj);

// TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void throw_downcast_error(PyObject* obj, const char* target);

// A str as owned UTF-8 text; anything else raises the 'PyString' downcast error.
std::string extract_string(PyObject* obj);

// A non-str sequence of str as a list of texts ("Can't extract `str` to `Vec`"
// for a str, 'Sequence' downcast error for a non-sequence, 'PyString' for items).
std::vector<std::string> extract_string_list(PyObject* obj);

// True/False, or a numpy boolean by its truth value; anything else raises the
// 'PyBool' downcast error.
bool extract_strict_bool(PyObject* obj);

// An integer (anything with __index__) that fits an unsigned machine word.
std::uint64_t extract_unsigned(PyObject* obj);

}  // namespace nefa
