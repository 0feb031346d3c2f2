#include "trace_index/sqlite_rows.hpp"

#include "trace_index/sqlite_api.hpp"

namespace nefa::trace_index {

namespace {

constexpr const char insert_sql[] =
    "INSERT INTO calls (trace_key, part_index, id, thread_native_id, parent, depth, start, duration, self_time,"
    " name_id, path_id, line, kind, resumed, flags, call_offset, call_length, return_offset, return_length)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19)";

}  // namespace

bool insert_rows(PyObject* connection, const std::vector<Row>& rows, const std::vector<std::string_view>& kinds,
                 const RowIds& ids, bool& failed) {
    failed = false;
    const sqlite::Api& s = sqlite::api();
    sqlite3* db = sqlite::handle(connection);
    // A closed connection has no handle; outside a transaction each row
    // would be a transaction of its own: the Python path says what is wrong.
    if (db == nullptr || s.get_autocommit(db)) return false;
    sqlite::Statement statement;
    auto fail = [&]() {
        PyErr_Format(PyExc_RuntimeError, "cannot index the calls: %s", s.errmsg(db));
        failed = true;
        return false;
    };
    if (!statement.prepare(db, insert_sql)) return fail();
    sqlite3_stmt* st = statement.get();
    auto integer = [&](int column, long long value) { s.bind_int64(st, column, value); };
    auto optional = [&](int column, long long value, bool present) {
        if (present) s.bind_int64(st, column, value);
        else s.bind_null(st, column);
    };
    integer(1, ids.trace_key);
    integer(2, ids.part_index);
    for (const Row& row : rows) {
        integer(3, ids.id_base + row.id);
        integer(4, static_cast<long long>(row.thread));
        optional(5, ids.id_base + row.parent, row.parent >= 0);
        integer(6, row.depth);
        integer(7, row.start_ns);
        integer(8, row.duration_ns);
        integer(9, row.self_ns);
        integer(10, (*ids.name_ids)[row.name]);
        optional(11, row.path == no_id ? 0 : (*ids.path_ids)[row.path], row.path != no_id);
        optional(12, row.line, row.line >= 0);
        if (row.kind >= 0) {
            const std::string_view kind = kinds[static_cast<std::size_t>(row.kind)];
            s.bind_text(st, 13, kind.data(), static_cast<int>(kind.size()), SQLITE_TRANSIENT);
        } else {
            s.bind_null(st, 13);
        }
        integer(14, row.resumed ? 1 : 0);
        integer(15, row.flags);
        optional(16, row.call_offset, row.call_offset >= 0);
        optional(17, row.call_length, row.call_offset >= 0);
        optional(18, row.return_offset, row.return_offset >= 0);
        optional(19, row.return_length, row.return_offset >= 0);
        if (s.step(st) != SQLITE_DONE) return fail();
        s.reset(st);
    }
    return true;
}

}  // namespace nefa::trace_index
