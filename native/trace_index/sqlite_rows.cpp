#include "trace_index/sqlite_rows.hpp"

#include "trace_index/sqlite_api.hpp"

#include <cstring>

namespace nefa::trace_index {

namespace {

// Rows per statement: past a few dozen, a longer statement saves little.
constexpr int rows_per_statement = 32;
// The values of a row after the trace key and part index (?1 and ?2).
constexpr int row_values = 17;

// OR IGNORE: a statement of several rows that may abort halfway keeps a
// journal of every page it touches, to undo just its own rows; that copying
// cost more than the rows. No row can conflict (ids are fresh and every NOT
// NULL value is bound), and each statement's count of rows is checked.
std::string insert_sql(int rows) {
    std::string sql =
        "INSERT OR IGNORE INTO calls (trace_key, part_index, id, thread_native_id, parent, depth, start, duration, self_time,"
        " name_id, path_id, line, kind, resumed, flags, call_offset, call_length, return_offset, return_length)"
        " VALUES ";
    for (int r = 0; r < rows; ++r) {
        sql += r ? ",(?1,?2" : "(?1,?2";
        for (int v = 0; v < row_values; ++v) sql += ",?" + std::to_string(3 + r * row_values + v);
        sql += ')';
    }
    return sql;
}

}  // namespace

Batch make_batch(std::vector<Row>&& rows, const std::vector<std::string_view>& kinds, const RowIds& ids) {
    Batch batch;
    batch.rows = std::move(rows);
    const std::size_t n = batch.rows.size();
    batch.name_ids.resize(n);
    batch.path_ids.resize(n);
    batch.kinds.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Row& row = batch.rows[i];
        batch.name_ids[i] = (*ids.name_ids)[row.name];
        batch.path_ids[i] = row.path == no_id ? 0 : (*ids.path_ids)[row.path];
        if (row.kind >= 0) batch.kinds[i] = kinds[static_cast<std::size_t>(row.kind)];
    }
    return batch;
}

sqlite3* usable_handle(PyObject* connection) {
    sqlite3* db = sqlite::handle(connection);
    if (db == nullptr || sqlite::api().get_autocommit(db)) return nullptr;
    return db;
}

bool serialized(sqlite3* db) { return sqlite::api().db_mutex(db) != nullptr; }

RowInserter::~RowInserter() {
    const sqlite::Api& s = sqlite::api();
    if (many_ != nullptr) s.finalize(many_);
    if (one_ != nullptr) s.finalize(one_);
}

bool RowInserter::fail() {
    error_ = sqlite::api().errmsg(db_);
    return false;
}

sqlite3_stmt* RowInserter::statement(int rows) {
    sqlite3_stmt*& slot = rows == 1 ? one_ : many_;
    if (slot != nullptr) return slot;
    const sqlite::Api& s = sqlite::api();
    if (s.prepare(db_, insert_sql(rows).c_str(), -1, &slot, nullptr) != SQLITE_OK) {
        slot = nullptr;
        return nullptr;
    }
    s.bind_int64(slot, 1, trace_key_);
    s.bind_int64(slot, 2, part_index_);
    return slot;
}

bool RowInserter::insert(const Batch& batch) {
    const sqlite::Api& s = sqlite::api();
    const std::size_t n = batch.rows.size();
    std::size_t done = 0;
    while (done < n) {
        const int rows = n - done >= rows_per_statement ? rows_per_statement : 1;
        sqlite3_stmt* st = statement(rows);
        if (st == nullptr) return fail();
        // Held from the first value bound to the count of changes: each bind
        // takes the connection's (recursive) mutex again, which, already
        // held, costs no atomic operation; and the count is the connection's
        // last statement's, so no other user of the connection may run one
        // in between.
        sqlite3_mutex* mutex = s.db_mutex(db_);
        s.mutex_enter(mutex);
        for (int r = 0; r < rows; ++r) {
            const std::size_t i = done + static_cast<std::size_t>(r);
            const Row& row = batch.rows[i];
            const int base = 3 + r * row_values;
            auto integer = [&](int value, long long number) { s.bind_int64(st, base + value, number); };
            auto optional = [&](int value, long long number, bool present) {
                if (present) s.bind_int64(st, base + value, number);
                else s.bind_null(st, base + value);
            };
            integer(0, id_base_ + row.id);
            integer(1, static_cast<long long>(row.thread));
            optional(2, id_base_ + row.parent, row.parent >= 0);
            integer(3, row.depth);
            integer(4, row.start_ns);
            integer(5, row.duration_ns);
            integer(6, row.self_ns);
            integer(7, batch.name_ids[i]);
            optional(8, batch.path_ids[i], row.path != no_id);
            optional(9, row.line, row.line >= 0);
            if (row.kind >= 0) {
                const std::string_view kind = batch.kinds[i];
                s.bind_text(st, base + 10, kind.data(), static_cast<int>(kind.size()), SQLITE_STATIC);
            } else {
                s.bind_null(st, base + 10);
            }
            integer(11, row.resumed ? 1 : 0);
            integer(12, row.flags);
            optional(13, row.call_offset, row.call_offset >= 0);
            optional(14, row.call_length, row.call_offset >= 0);
            optional(15, row.return_offset, row.return_offset >= 0);
            optional(16, row.return_length, row.return_offset >= 0);
        }
        const int status = s.step(st);
        const bool all = status == SQLITE_DONE && s.changes(db_) == rows;
        if (status != SQLITE_DONE) error_ = s.errmsg(db_);
        s.mutex_leave(mutex);
        s.reset(st);
        if (status != SQLITE_DONE) return false;
        if (!all) {
            error_ = "a row was refused (its id is taken)";
            return false;
        }
        done += static_cast<std::size_t>(rows);
    }
    return true;
}

bool insert_rows(PyObject* connection, const std::vector<Row>& rows, const std::vector<std::string_view>& kinds,
                 const RowIds& ids, bool& failed) {
    failed = false;
    sqlite3* db = usable_handle(connection);
    if (db == nullptr) return false;
    std::vector<Row> copy(rows);
    const Batch batch = make_batch(std::move(copy), kinds, ids);
    RowInserter inserter(db, ids.trace_key, ids.part_index, ids.id_base);
    if (!inserter.insert(batch)) {
        PyErr_Format(PyExc_RuntimeError, "cannot index the calls: %s", inserter.error().c_str());
        failed = true;
        return false;
    }
    return true;
}

}  // namespace nefa::trace_index
