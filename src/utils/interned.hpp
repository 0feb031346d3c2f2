// Interned attribute names, created once per process and kept for its life.
#pragma once

#include "common/refs.hpp"

namespace nefa {

struct Names {
    PyObject* config;
    PyObject* main_thread;
    PyObject* native_id;
    PyObject* name;
    PyObject* db_path;
    PyObject* one_trace_per_test;
    PyObject* trace_id;
    PyObject* source;
    PyObject* rust_profiler;
    PyObject* register_threading_profiler;
    PyObject* f_code;
    PyObject* f_back;
    PyObject* f_lineno;
    PyObject* f_locals;
    PyObject* f_globals;
    PyObject* co_filename;
    PyObject* co_name;
    PyObject* co_qualname;
    PyObject* current_thread;
    PyObject* getattr_static;
    PyObject* property;
    PyObject* fget;
    PyObject* dunder_module;
    PyObject* dunder_qualname;
    PyObject* dunder_name;
    PyObject* dunder_builtins;
    PyObject* dunder_version;
    PyObject* commit_sha;
    PyObject* argv;
    PyObject* copy;
    PyObject* dump_msgpack;
    PyObject* dump_msgpack_lightweight_repr;
    PyObject* save_trace_in_sqlite;
    PyObject* load_plugin_data;
    PyObject* timeout;
    PyObject* msgpack;
    PyObject* setprofile;
    PyObject* getLogger;
    PyObject* warning;
    PyObject* exc_info;
    PyObject* event_call;
    PyObject* event_return;
    PyObject* mod_threading;
    PyObject* mod_logging;
    PyObject* mod_sys;
    PyObject* mod_inspect;
    PyObject* mod_builtins;
    PyObject* mod_serialize;
    PyObject* mod_db;
    PyObject* mod_version;
    PyObject* mod_git;
    PyObject* mod_redaction;
    PyObject* command_line;
    PyObject* mod_plugins;
    PyObject* mod_collections_abc;
    PyObject* Mapping;
    PyObject* self_;
    PyObject* cls;
};

// The process-wide names; throws PyErrOccurred if they cannot be created.
// Requires the interpreter lock.
const Names& names();

// Imports a module by name, taking it from sys.modules when it is already
// there (the import statement's own fast path). New reference.
Ref import_module(PyObject* name);

// module.name, read from the module's dict when it is there (the generic
// attribute protocol costs several times more), else by attribute access.
Ref module_attribute(PyObject* module, PyObject* name);

}  // namespace nefa
