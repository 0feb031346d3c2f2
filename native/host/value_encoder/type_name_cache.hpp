// The names of the heap types whose instances the encoder meets most,
// "module.qualname" as UTF-8, kept between values: an object of a class of
// the program is the common value, and its type's name is the same every
// time until the type changes. Interpreter lock held throughout (the cache
// is the module's, shared by every thread that encodes).
#pragma once

#include "common/compat.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nefa::value_encoder {

struct CachedTypeName {
    // What the entry was made for; neither is owned, only compared. The
    // version tag changes with any change of the type, and a type made at
    // a freed one's address gets a new tag.
    const PyTypeObject* type = nullptr;
    const PyObject* qualname = nullptr;
    unsigned int version = 0;
    std::uint32_t module_chars = 0;    // characters of __module__
    std::uint32_t qualname_chars = 0;  // characters of __qualname__
    std::uint32_t size = 0;            // bytes of text
    std::uint8_t text[112];            // "module.qualname"
    // The encoder's default-repr form of an instance, up to its address,
    // for addresses of `form_address_size` characters (0: not made yet).
    std::uint32_t form_address_size = 0;
    std::uint32_t form_size = 0;
    std::uint8_t form[256];

    std::string_view name() const { return {reinterpret_cast<const char*>(text), size}; }
};

// The name of `type` as write_type_name writes it uncut: from the cache, or
// made now, into the cache or, for a type without a version tag to key an
// entry by, into an entry of its own that the next such type reuses. Null
// (no error set) for a static type, one without a __module__ other than
// "builtins", or a name longer than an entry holds. A hit runs no Python
// code; a miss looks __module__ up in the class's dict, where a key's __eq__
// may run (the type is held meanwhile), and writes the entry only after.
// Use the entry before any code of the program runs again.
inline CachedTypeName* cached_type_name(PyTypeObject* type);

namespace detail {

// Direct-mapped: a program's values come from a few dozen classes at a time.
inline constexpr std::size_t type_name_entries = 128;
extern CachedTypeName type_names[type_name_entries];

inline std::size_t type_name_slot(const PyTypeObject* type) {
    const auto address = reinterpret_cast<std::uintptr_t>(type);
    return ((address >> 4) ^ (address >> 12)) % type_name_entries;
}

// The entry made now, for a type not in the cache.
CachedTypeName* type_name_missed(PyTypeObject* type, unsigned int version);

}  // namespace detail

// Inline: a hit is a few loads, less than a call's own cost.
inline CachedTypeName* cached_type_name(PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return nullptr;
    const unsigned int version = compat::type_version_tag(type);
    if (version != 0) {
        CachedTypeName& entry = detail::type_names[detail::type_name_slot(type)];
        if (entry.type == type && entry.version == version &&
            entry.qualname == reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname)
            return &entry;
    }
    return detail::type_name_missed(type, version);
}

}  // namespace nefa::value_encoder
