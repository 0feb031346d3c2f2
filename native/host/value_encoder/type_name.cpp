#include "host/value_encoder/type_name.hpp"

#include "common/refs.hpp"
#include "host/value_encoder/text.hpp"
#include "host/value_encoder/type_name_cache.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace nefa::value_encoder {

namespace {

constexpr std::string_view builtins = "builtins";

// A static type's tp_name is "module.qualname", or just the name for builtins.
void write_static_name(Output& out, const char* tp_name, std::size_t max_chars) {
    auto [module, name] = split_static_name(tp_name);
    // C names are ASCII in practice: cut by bytes.
    module = module.substr(0, std::min(module.size(), max_chars));
    name = name.substr(0, std::min(name.size(), max_chars));
    const std::size_t size = module.empty() ? name.size() : module.size() + 1 + name.size();
    std::uint8_t* p = out.str_space(size);
    if (p == nullptr) return;
    if (!module.empty()) {
        std::memcpy(p, module.data(), module.size());
        p += module.size();
        *p++ = '.';
    }
    if (!name.empty()) std::memcpy(p, name.data(), name.size());
}

bool is_builtins(PyObject* module) {
    return PyUnicode_IS_ASCII(module) && static_cast<std::size_t>(PyUnicode_GET_LENGTH(module)) == builtins.size() &&
           std::memcmp(PyUnicode_DATA(module), builtins.data(), builtins.size()) == 0;
}

Py_ssize_t cut(PyObject* text, std::size_t max_chars) {
    return std::min(PyUnicode_GET_LENGTH(text), static_cast<Py_ssize_t>(max_chars));
}

// A heap type's name from its parts, each cut to `max_chars` (module may be null).
void write_heap_type_name(Output& out, PyObject* qualname, PyObject* module, std::size_t max_chars) {
    if (module == nullptr) {
        write_text(out, qualname, cut(qualname, max_chars));
        return;
    }
    const Py_ssize_t module_chars = cut(module, max_chars);
    const Py_ssize_t qualname_chars = cut(qualname, max_chars);
    std::uint8_t* p = out.str_space(text_size(module, module_chars) + 1 + text_size(qualname, qualname_chars));
    if (p == nullptr) return;
    p = put_text(p, module, module_chars);
    *p++ = '.';
    put_text(p, qualname, qualname_chars);
}

}  // namespace

StaticTypeName split_static_name(const char* tp_name) {
    std::string_view name(tp_name);
    std::string_view module;
    if (const auto dot = name.rfind('.'); dot != std::string_view::npos) {
        module = name.substr(0, dot);
        name.remove_prefix(dot + 1);
        if (module == builtins) module = {};
    }
    return {module, name};
}

PyObject* heap_type_module(PyTypeObject* type) {
    static PyObject* key = PyUnicode_InternFromString("__module__");
    if (key == nullptr || type->tp_dict == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* module = PyDict_GetItemWithError(type->tp_dict, key);
    if (module == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyUnicode_Check(module) || is_builtins(module)) return nullptr;
    return module;
}

void write_type_name(Output& out, PyTypeObject* type, std::size_t max_chars) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        write_static_name(out, type->tp_name, max_chars);
        return;
    }
    // Looking __module__ up may run code that drops the class: held.
    const Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
    if (const CachedTypeName* name = cached_type_name(type);
        name != nullptr && name->module_chars <= max_chars && name->qualname_chars <= max_chars) {
        out.str(name->name());
        return;
    }
    // The module first: its look-up may run code that renames the class.
    PyObject* module = heap_type_module(type);
    write_heap_type_name(out, reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname, module, max_chars);
}

}  // namespace nefa::value_encoder
