#include "utils/qualname.hpp"

#include "common/compat.hpp"
#include "filters/code_cache.hpp"
#include "utils/interned.hpp"
#include "utils/text.hpp"

namespace nefa {

namespace {

// globals["__name__"] with item access; KeyError propagates.
Ref module_name_in(const Ref& globals) {
    if (PyDict_CheckExact(globals.get())) {
        // The same answer as item access, without the protocol's dispatch.
        if (PyObject* name = PyDict_GetItemWithError(globals.get(), names().dunder_name)) return Ref::borrow(name);
        if (PyErr_Occurred()) throw PyErrOccurred{};
        PyErr_SetObject(PyExc_KeyError, names().dunder_name);
        throw PyErrOccurred{};
    }
    return Ref::require(PyObject_GetItem(globals.get(), names().dunder_name));
}

Ref module_name(PyFrameObject* frame) { return module_name_in(compat::frame_globals(frame)); }

std::string join(PyObject* first, std::string_view second) {
    std::string out = display_text(first);
    out.push_back('.');
    out.append(second);
    return out;
}

std::string name_of(PyObject* function) {
    const Names& n = names();
    Ref module = Ref::require(PyObject_GetAttr(function, n.dunder_module));
    Ref qualname = Ref::require(PyObject_GetAttr(function, n.dunder_qualname));
    return join(module.get(), display_text(qualname.get()));
}

enum class Lookup { found, missing, failed };

// mapping[key] for the look-ups where a KeyError means "try the next rule"
// and any other error ends the search without a name.
Lookup lookup(PyObject* mapping, PyObject* key, Ref& out) {
    out = Ref::steal(PyObject_GetItem(mapping, key));
    if (out) return Lookup::found;
    const bool key_error = PyErr_ExceptionMatches(PyExc_KeyError);
    PyErr_Clear();
    return key_error ? Lookup::missing : Lookup::failed;
}

}  // namespace

std::optional<std::string> get_qualname(PyFrameObject* frame) {
    Ref code = compat::frame_code(frame);
    PyObject* co_qualname = compat::code_qualname(code.get());
    if (co_qualname == nullptr) return qualname_without_co_qualname(frame);
    Ref name = module_name(frame);
    return join(name.get(), display_text(co_qualname));
}

namespace {

// The name for code with a co_qualname str, through `cache`, whose frame
// runs under `frame_globals` (borrowed: held here only when it is read).
std::shared_ptr<const std::string> cached_name(PyObject* co_qualname, PyObject* frame_globals, QualnameCache* cache) {
    const bool same_globals = compat::has_dict_versions && cache->text && cache->module_name &&
                              PyDict_CheckExact(frame_globals) && frame_globals == cache->globals &&
                              compat::dict_version(frame_globals) == cache->globals_version;
    if (same_globals) return cache->text;
    const Ref globals = Ref::borrow(frame_globals);
    Ref name = module_name_in(globals);
    if (!cache->text || name.get() != cache->module_name.get()) {
        auto text = std::make_shared<const std::string>(join(name.get(), display_text(co_qualname)));
        // Only an exact str is sure to give the same text next time.
        cache->module_name = PyUnicode_CheckExact(name.get()) ? name : Ref{};
        cache->text = text;
    }
    cache->globals = PyDict_CheckExact(globals.get()) ? globals.get() : nullptr;
    cache->globals_version = cache->globals != nullptr ? compat::dict_version(cache->globals) : 0;
    return cache->text;
}

std::shared_ptr<const std::string> uncached_name(PyFrameObject* frame) {
    std::optional<std::string> name = get_qualname(frame);
    if (!name) return nullptr;
    return std::make_shared<const std::string>(std::move(*name));
}

bool cacheable(PyObject* co_qualname, QualnameCache* cache) {
    return cache != nullptr && co_qualname != nullptr && PyUnicode_CheckExact(co_qualname);
}

}  // namespace

std::shared_ptr<const std::string> get_qualname_cached(PyFrameObject* frame, QualnameCache* cache) {
    Ref code = compat::frame_code(frame);
    PyObject* co_qualname = compat::code_qualname(code.get());
    if (!cacheable(co_qualname, cache)) return uncached_name(frame);
    const Ref globals = compat::frame_globals(frame);
    return cached_name(co_qualname, globals.get(), cache);
}

std::shared_ptr<const std::string> get_qualname_cached(FrameHandle& frame, const compat::RunningFrame& running,
                                                       QualnameCache* cache) {
    PyObject* co_qualname = compat::code_qualname(running.code);
    if (!cacheable(co_qualname, cache)) return uncached_name(frame.object());
    return cached_name(co_qualname, running.globals, cache);
}

std::optional<std::string> qualname_without_co_qualname(PyFrameObject* frame) {
    Ref code = compat::frame_code(frame);
    Ref co_name = Ref::require(PyObject_GetAttr(code.get(), names().co_name));
    const std::string co_name_text = extract_string(co_name.get());
    if (co_name_text == "<module>") {
        Ref name = module_name(frame);
        return join(name.get(), "<module>");
    }
    try {
        return get_qualname_inner(frame, co_name.get());
    } catch (const PyErrOccurred&) {
        PyErr_Clear();
        return std::nullopt;
    }
}

std::optional<std::string> get_qualname_inner(PyFrameObject* frame, PyObject* co_name) {
    const Names& n = names();
    PyObject* frame_object = reinterpret_cast<PyObject*>(frame);

    // 1. Module-level code run by nobody has no function to look up.
    Ref caller = Ref::require(PyObject_GetAttr(frame_object, n.f_back));
    if (caller.get() == Py_None) return std::nullopt;

    // 2. The caller holds the function in a local variable.
    Ref caller_locals = Ref::require(PyObject_GetAttr(caller.get(), n.f_locals));
    Ref found;
    switch (lookup(caller_locals.get(), co_name, found)) {
        case Lookup::found: return name_of(found.get());
        case Lookup::failed: return std::nullopt;
        case Lookup::missing: break;
    }

    // 3.
    Ref locals = Ref::require(PyObject_GetAttr(frame_object, n.f_locals));
    Ref inspect = import_module(n.mod_inspect);
    Ref getattr_static = Ref::require(PyObject_GetAttr(inspect.get(), n.getattr_static));

    // 4. A method: look the name up on the instance's class, unwrapping properties.
    Ref self;
    switch (lookup(locals.get(), n.self_, self)) {
        case Lookup::found: {
            Ref function =
                Ref::require(PyObject_CallFunctionObjArgs(getattr_static.get(), self.get(), co_name, nullptr));
            Ref builtins = import_module(n.mod_builtins);
            Ref property = Ref::require(PyObject_GetAttr(builtins.get(), n.property));
            if (Require(PyObject_IsInstance(function.get(), property.get())) != 0) {
                function = Ref::require(PyObject_GetAttr(function.get(), n.fget));
            }
            return name_of(function.get());
        }
        case Lookup::failed: return std::nullopt;
        case Lookup::missing: break;
    }

    // 5. A class method: look the name up on the class itself.
    Ref cls;
    switch (lookup(locals.get(), n.cls, cls)) {
        case Lookup::found:
            if (PyType_Check(cls.get())) {
                Ref function =
                    Ref::require(PyObject_CallFunctionObjArgs(getattr_static.get(), cls.get(), co_name, nullptr));
                return name_of(function.get());
            }
            break;
        case Lookup::failed: return std::nullopt;
        case Lookup::missing: break;
    }

    // 6, 7. A class body names itself in its locals.
    Ref globals = Ref::require(PyObject_GetAttr(frame_object, n.f_globals));
    Ref class_qualname;
    switch (lookup(locals.get(), n.dunder_qualname, class_qualname)) {
        case Lookup::found: {
            Ref name;
            switch (lookup(globals.get(), n.dunder_name, name)) {
                case Lookup::found: return join(name.get(), display_text(class_qualname.get()));
                case Lookup::failed:
                case Lookup::missing: return std::nullopt;
            }
            return std::nullopt;
        }
        case Lookup::failed: return std::nullopt;
        case Lookup::missing: break;
    }

    // 8. A module-level function.
    Ref function = Ref::require(PyObject_GetItem(globals.get(), co_name));
    return name_of(function.get());
}

}  // namespace nefa
