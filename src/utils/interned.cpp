#include "utils/interned.hpp"

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

Ref import_module(PyObject* name) {
    // sys.modules first, as the import statement does; PyImport_GetModule
    // would also probe __spec__._initializing, which costs an AttributeError
    // per call for modules without it.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* module = PyDict_CheckExact(modules) ? PyDict_GetItemWithError(modules, name) : nullptr;
    if (module != nullptr && module != Py_None) return Ref::borrow(module);
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return Ref::require(PyImport_Import(name));
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
