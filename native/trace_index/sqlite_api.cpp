#include "trace_index/sqlite_api.hpp"

#include "utils/compat.hpp"

#include <dlfcn.h>

#include <cstring>

namespace nefa::sqlite {

const Api& api() {
    static const Api loaded = [] {
        Api s{};
        void* library = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD);
        if (library == nullptr) return s;
        bool all = true;
        auto find = [&](auto& slot, const char* name) {
            void* symbol = dlsym(library, name);
            if (symbol == nullptr) all = false;
            std::memcpy(&slot, &symbol, sizeof symbol);
        };
        find(s.prepare, "sqlite3_prepare_v2");
        find(s.bind_int64, "sqlite3_bind_int64");
        find(s.bind_null, "sqlite3_bind_null");
        find(s.bind_text, "sqlite3_bind_text");
        find(s.step, "sqlite3_step");
        find(s.reset, "sqlite3_reset");
        find(s.finalize, "sqlite3_finalize");
        find(s.errmsg, "sqlite3_errmsg");
        find(s.get_autocommit, "sqlite3_get_autocommit");
        find(s.column_int64, "sqlite3_column_int64");
        find(s.column_type, "sqlite3_column_type");
        find(s.changes, "sqlite3_changes");
        find(s.db_mutex, "sqlite3_db_mutex");
        find(s.mutex_enter, "sqlite3_mutex_enter");
        find(s.mutex_leave, "sqlite3_mutex_leave");
        s.loaded = all;
        find(s.create_module, "sqlite3_create_module_v2");
        find(s.declare_vtab, "sqlite3_declare_vtab");
        find(s.bind_pointer, "sqlite3_bind_pointer");
        find(s.value_pointer, "sqlite3_value_pointer");
        find(s.result_int64, "sqlite3_result_int64");
        find(s.result_null, "sqlite3_result_null");
        find(s.result_text, "sqlite3_result_text");
        s.rows_table = all;
        return s;
    }();
    return loaded;
}

sqlite3* handle(PyObject* connection) {
    if (!api().loaded || std::strcmp(Py_TYPE(connection)->tp_name, "sqlite3.Connection") != 0) return nullptr;
    return static_cast<sqlite3*>(compat::sqlite_connection_handle(connection));
}

}  // namespace nefa::sqlite
