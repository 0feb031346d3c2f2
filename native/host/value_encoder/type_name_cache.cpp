#include "host/value_encoder/type_name_cache.hpp"

#include "common/compat.hpp"
#include "common/refs.hpp"
#include "host/value_encoder/text.hpp"
#include "host/value_encoder/type_name.hpp"

namespace nefa::value_encoder {

namespace {

bool fill(CachedTypeName& entry, PyTypeObject* type, unsigned int version) {
    // The module first: its look-up may run code that renames the class.
    PyObject* module = heap_type_module(type);
    PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
    if (module == nullptr || qualname == nullptr || !PyUnicode_Check(qualname) || compat::unicode_ready(module) < 0 ||
        compat::unicode_ready(qualname) < 0) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t module_chars = PyUnicode_GET_LENGTH(module);
    const Py_ssize_t qualname_chars = PyUnicode_GET_LENGTH(qualname);
    // Each character takes at most 4 bytes (an escaped surrogate 7 for 1):
    // a bound on the size before any of it is measured.
    if ((module_chars + qualname_chars + 1) * 7 > static_cast<Py_ssize_t>(sizeof entry.text)) {
        const std::size_t size = text_size(module, module_chars) + 1 + text_size(qualname, qualname_chars);
        if (size > sizeof entry.text) return false;
    }
    std::uint8_t* p = put_text(entry.text, module, module_chars);
    *p++ = '.';
    p = put_text(p, qualname, qualname_chars);
    entry.type = type;
    entry.qualname = qualname;
    entry.version = version;
    entry.module_chars = static_cast<std::uint32_t>(module_chars);
    entry.qualname_chars = static_cast<std::uint32_t>(qualname_chars);
    entry.size = static_cast<std::uint32_t>(p - entry.text);
    entry.form_address_size = 0;
    return true;
}

}  // namespace

namespace detail {

CachedTypeName type_names[type_name_entries]{};

// For types without a version tag: made anew each time, one for all rather
// than a few hundred bytes set up on the stack for every object.
CachedTypeName uncached;

CachedTypeName* type_name_missed(PyTypeObject* type, unsigned int version) {
    // Reading __module__ from the class's dict can run a key's __eq__, which
    // may even change the object's class: the type is held meanwhile.
    const Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
    if (version == 0) return fill(uncached, type, version) ? &uncached : nullptr;
    CachedTypeName& entry = type_names[type_name_slot(type)];
    entry.type = nullptr;  // until filled
    return fill(entry, type, version) ? &entry : nullptr;
}

}  // namespace detail

}  // namespace nefa::value_encoder
