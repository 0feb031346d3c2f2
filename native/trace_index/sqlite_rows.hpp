// Rows written into `calls` through the very SQLite library, and the very
// connection, that Python's sqlite3 module uses: binding 19 values per row
// through executemany costs several times what the scan does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "trace_index/scanner.hpp"

#include <cstdint>
#include <vector>

namespace nefa::trace_index {

struct RowIds {
    long long trace_key;
    long long part_index;
    long long id_base;
    const std::vector<long long>* name_ids;
    const std::vector<long long>* path_ids;
};

// Inserts the rows into `calls` on the connection's handle, inside the
// connection's current transaction. Returns false with nothing done when
// the handle cannot be used this way (SQLite is not loaded as a shared
// library, or the connection is not a sqlite3.Connection): the caller then
// inserts through Python. On an SQLite error returns false with a Python
// exception set. Interpreter lock held throughout, so no Python thread
// uses the connection meanwhile.
bool insert_rows(PyObject* connection, const std::vector<Row>& rows, const std::vector<std::string_view>& kinds,
                 const RowIds& ids, bool& failed);

}  // namespace nefa::trace_index
