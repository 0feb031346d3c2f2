#include "host/trace_index/sqlite_api.hpp"

#include "host/loaded_library/loaded_library.hpp"

#include <cstring>

namespace nefa::sqlite {

namespace {

// The SQLite handle of a sqlite3.Connection: the first field after the
// object header in the versions known here (3.11 to 3.14); null elsewhere,
// and the caller falls back to the Python API.
void* connection_handle(PyObject* connection) {
#if PY_VERSION_HEX < 0x030F0000
    struct ConnectionHead {
        PyObject_HEAD
        void* db;
    };
    return reinterpret_cast<ConnectionHead*>(connection)->db;
#else
    (void)connection;
    return nullptr;
#endif
}

}  // namespace

const Api& api() {
    static const Api loaded = [] {
        Api s{};
        LoadedLibrary library("libsqlite3.so.0");
        if (!library.loaded()) return s;
        library.find(s.prepare, "sqlite3_prepare_v2");
        library.find(s.bind_int64, "sqlite3_bind_int64");
        library.find(s.bind_null, "sqlite3_bind_null");
        library.find(s.bind_text, "sqlite3_bind_text");
        library.find(s.bind_blob, "sqlite3_bind_blob");
        library.find(s.step, "sqlite3_step");
        library.find(s.reset, "sqlite3_reset");
        library.find(s.finalize, "sqlite3_finalize");
        library.find(s.errmsg, "sqlite3_errmsg");
        library.find(s.get_autocommit, "sqlite3_get_autocommit");
        library.find(s.column_int64, "sqlite3_column_int64");
        library.find(s.column_type, "sqlite3_column_type");
        library.find(s.column_blob, "sqlite3_column_blob");
        library.find(s.column_bytes, "sqlite3_column_bytes");
        library.find(s.changes, "sqlite3_changes");
        library.find(s.db_mutex, "sqlite3_db_mutex");
        library.find(s.mutex_enter, "sqlite3_mutex_enter");
        library.find(s.mutex_leave, "sqlite3_mutex_leave");
        s.loaded = library.found_all();
        library.find(s.create_module, "sqlite3_create_module_v2");
        library.find(s.declare_vtab, "sqlite3_declare_vtab");
        library.find(s.bind_pointer, "sqlite3_bind_pointer");
        library.find(s.value_pointer, "sqlite3_value_pointer");
        library.find(s.result_int64, "sqlite3_result_int64");
        library.find(s.result_null, "sqlite3_result_null");
        library.find(s.result_text, "sqlite3_result_text");
        library.find(s.result_blob, "sqlite3_result_blob");
        s.rows_table = library.found_all();
        return s;
    }();
    return loaded;
}

sqlite3* handle(PyObject* connection) {
    if (!api().loaded || std::strcmp(Py_TYPE(connection)->tp_name, "sqlite3.Connection") != 0) return nullptr;
    return static_cast<sqlite3*>(connection_handle(connection));
}

}  // namespace nefa::sqlite
