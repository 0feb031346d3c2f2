#include "utils/interned.hpp"

#include <array>

namespace nefa {

namespace {

PyObject* intern(const char* text) { return Require(PyUnicode_InternFromString(text)); }

Names make_names() {
    Names n{};
    n.config = intern("config");
    n.main_thread = intern("main_thread");
    n.native_id = intern("native_id");
    n.name = intern("name");
    n.db_path = intern("db_path");
    n.one_trace_per_test = intern("one_trace_per_test");
    n.trace_id = intern("trace_id");
    n.source = intern("source");
    // A fixed attribute name of the host profiler that callers read: keep it as is.
    n.rust_profiler = intern("rust_profiler");
    n.register_threading_profiler = intern("register_threading_profiler");
    n.f_code = intern("f_code");
    n.f_back = intern("f_back");
    n.f_lineno = intern("f_lineno");
    n.f_locals = intern("f_locals");
    n.f_globals = intern("f_globals");
    n.co_filename = intern("co_filename");
    n.co_name = intern("co_name");
    n.co_qualname = intern("co_qualname");
    n.current_thread = intern("current_thread");
    n.getattr_static = intern("getattr_static");
    n.property = intern("property");
    n.fget = intern("fget");
    n.dunder_module = intern("__module__");
    n.dunder_qualname = intern("__qualname__");
    n.dunder_name = intern("__name__");
    n.dunder_builtins = intern("__builtins__");
    n.dunder_version = intern("__version__");
    n.commit_sha = intern("COMMIT_SHA");
    n.argv = intern("argv");
    n.copy = intern("copy");
    n.dump_msgpack = intern("dump_msgpack");
    n.dump_msgpack_lightweight_repr = intern("dump_msgpack_lightweight_repr");
    n.save_trace_in_sqlite = intern("save_trace_in_sqlite");
    n.load_plugin_data = intern("load_plugin_data");
    n.timeout = intern("timeout");
    n.msgpack = intern("msgpack");
    n.setprofile = intern("setprofile");
    n.getLogger = intern("getLogger");
    n.warning = intern("warning");
    n.exc_info = intern("exc_info");
    n.event_call = intern("call");
    n.event_return = intern("return");
    n.mod_threading = intern("threading");
    n.mod_logging = intern("logging");
    n.mod_sys = intern("sys");
    n.mod_inspect = intern("inspect");
    n.mod_builtins = intern("builtins");
    n.mod_serialize = intern("nefa.serialize");
    n.mod_db = intern("nefa.db");
    n.mod_version = intern("nefa.version");
    n.mod_git = intern("nefa.git");
    n.mod_redaction = intern("nefa.redaction");
    n.command_line = intern("command_line");
    n.mod_plugins = intern("nefa.plugins");
    n.mod_collections_abc = intern("collections.abc");
    n.Mapping = intern("Mapping");
    n.self_ = intern("self");
    n.cls = intern("cls");
    return n;
}

}  // namespace

const Names& names() {
    // Built under the interpreter lock on first use; the strings are never freed.
    static bool ready = false;
    static Names cached;
    if (!ready) {
        cached = make_names();
        ready = true;
    }
    return cached;
}

namespace {

// Modules seen fully imported, by our interned name: (name, module) with a
// strong reference, so a pointer match means the same module object.
struct KnownModule {
    PyObject* name = nullptr;
    Ref module;
};
// Never destroyed: releasing references after the interpreter has gone
// would crash the process at exit.
std::array<KnownModule, 16>& known_modules = *new std::array<KnownModule, 16>();

bool is_known(PyObject* name, PyObject* module) {
    for (const auto& known : known_modules) {
        if (known.name == name) return known.module.get() == module;
    }
    return false;
}

void remember(PyObject* name, const Ref& module) {
    for (auto& known : known_modules) {
        if (known.name == name || known.name == nullptr) {
            known.name = name;
            known.module = module;
            return;
        }
    }
}

}  // namespace

Ref import_module(PyObject* name) {
    // sys.modules first, as the import statement does. The first time a
    // module object is met, PyImport_GetModule also waits for another
    // thread still importing it (that check costs a few attribute look-ups,
    // too many for every event); afterwards a pointer comparison suffices.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* module = PyDict_CheckExact(modules) ? PyDict_GetItemWithError(modules, name) : nullptr;
    if (module != nullptr && module != Py_None && is_known(name, module)) return Ref::borrow(module);
    if (PyErr_Occurred()) throw PyErrOccurred{};
    Ref found = Ref::steal(PyImport_GetModule(name));
    if (found.get() == Py_None) {
        // A module blocked in sys.modules: the import statement's own error.
        Ref message = Ref::require(PyUnicode_FromFormat("import of %U halted; None in sys.modules", name));
        PyErr_SetImportErrorSubclass(PyExc_ModuleNotFoundError, message.get(), name, nullptr);
        throw PyErrOccurred{};
    }
    if (!found) {
        if (PyErr_Occurred()) throw PyErrOccurred{};
        found = Ref::require(PyImport_Import(name));
    }
    // Only interned names are ours to remember (their pointers live forever).
    if (PyUnicode_CHECK_INTERNED(name)) remember(name, found);
    return found;
}

Ref module_attribute(PyObject* module, PyObject* name) {
    if (PyModule_CheckExact(module)) {
        PyObject* dict = PyModule_GetDict(module);
        if (PyObject* value = PyDict_GetItemWithError(dict, name)) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PyErrOccurred{};
    }
    return Ref::require(PyObject_GetAttr(module, name));
}

}  // namespace nefa
