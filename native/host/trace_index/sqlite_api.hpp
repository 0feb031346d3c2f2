// The functions of the libsqlite3 that Python's sqlite3 module loaded,
// looked up once (RTLD_NOLOAD: never a second copy of the library), and
// the handle of a sqlite3.Connection, for code that reads or writes
// through the very connection Python uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sqlite3.h>

namespace nefa::sqlite {

struct Api {
    bool loaded = false;
    decltype(&sqlite3_prepare_v2) prepare;
    decltype(&sqlite3_bind_int64) bind_int64;
    decltype(&sqlite3_bind_null) bind_null;
    decltype(&sqlite3_bind_text) bind_text;
    decltype(&sqlite3_bind_blob) bind_blob;
    decltype(&sqlite3_step) step;
    decltype(&sqlite3_reset) reset;
    decltype(&sqlite3_finalize) finalize;
    decltype(&sqlite3_errmsg) errmsg;
    decltype(&sqlite3_get_autocommit) get_autocommit;
    decltype(&sqlite3_column_int64) column_int64;
    decltype(&sqlite3_column_type) column_type;
    decltype(&sqlite3_column_blob) column_blob;
    decltype(&sqlite3_column_bytes) column_bytes;
    decltype(&sqlite3_changes) changes;
    decltype(&sqlite3_db_mutex) db_mutex;
    decltype(&sqlite3_mutex_enter) mutex_enter;
    decltype(&sqlite3_mutex_leave) mutex_leave;
    // For the rows table of sqlite_rows.cpp (SQLite 3.20 on); without them
    // rows are bound one value at a time.
    bool rows_table = false;
    decltype(&sqlite3_create_module_v2) create_module;
    decltype(&sqlite3_declare_vtab) declare_vtab;
    decltype(&sqlite3_bind_pointer) bind_pointer;
    decltype(&sqlite3_value_pointer) value_pointer;
    decltype(&sqlite3_result_int64) result_int64;
    decltype(&sqlite3_result_null) result_null;
    decltype(&sqlite3_result_text) result_text;
    decltype(&sqlite3_result_blob) result_blob;
};

const Api& api();

// The connection's handle, or null when it cannot be used directly (the
// library is not loaded as a shared one, the object is no
// sqlite3.Connection, or the connection is closed).
sqlite3* handle(PyObject* connection);

// A prepared statement, finalized when it goes.
class Statement {
public:
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() {
        if (stmt_ != nullptr) api().finalize(stmt_);
    }
    bool prepare(sqlite3* db, const char* sql) { return api().prepare(db, sql, -1, &stmt_, nullptr) == SQLITE_OK; }
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace nefa::sqlite
