#include "host/trace_index/sqlite_rows.hpp"

#include "host/trace_index/sqlite_api.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

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
        "INSERT OR IGNORE INTO calls (trace_key, part_index, id, thread_native_id, parent, depth, start, duration, "
        "self_time,"
        " name_id, path_id, line, kind, resumed, flags, call_offset, call_length, return_offset, return_length)"
        " VALUES ";
    for (int r = 0; r < rows; ++r) {
        sql += r ? ",(?1,?2" : "(?1,?2";
        for (int v = 0; v < row_values; ++v) sql += ",?" + std::to_string(3 + r * row_values + v);
        sql += ')';
    }
    return sql;
}

// The rows table: a batch read by the INSERT as a table of its own (an
// eponymous virtual table, given the batch as a pointer), so that one
// statement inserts the whole batch and no value is bound: the 17 binds
// of a row, each taking the connection's mutex, cost an eighth of the
// writer's time.
constexpr const char* rows_table_name = "nefa_index_rows";
constexpr const char* batch_pointer_type = "nefa_index_batch";

// What of a batch the rows table shows: its rows; its name blocks (read as
// the columns id, for first_id, name_id, first_offset and ids); or its lane
// blocks (id for first_id, thread_native_id, depth, last_end, first_end,
// count, ends and ids).
enum What { view_rows, view_name_blocks, view_lanes };

struct BatchView {
    const Batch* batch;
    long long id_base;
    int what;
};

enum Column {
    column_id,
    column_thread,
    column_parent,
    column_depth,
    column_start,
    column_duration,
    column_self,
    column_name,
    column_path,
    column_line,
    column_kind,
    column_resumed,
    column_flags,
    column_call_offset,
    column_call_length,
    column_return_offset,
    column_return_length,
    column_first_offset,
    column_ids,
    column_last_end,
    column_first_end,
    column_count,
    column_ends,
    column_batch,
};

struct RowsCursor {
    sqlite3_vtab_cursor base;
    const BatchView* view;
    std::size_t at;
    const sqlite::Api* api;  // looked up once, not once a value
};

// OR IGNORE, as for the rows, and no row can conflict either: each id is
// in one batch, so a block's rows of one name from several batches start
// at different offsets.
constexpr const char* name_blocks_insert_sql =
    "INSERT OR IGNORE INTO call_name_blocks (trace_key, name_id, first_id, first_offset, ids)"
    " SELECT ?2, name_id, id, first_offset, ids FROM nefa_index_rows WHERE batch = ?1";

// OR IGNORE too: a block's key holds its first id, which no other block has.
constexpr const char* lanes_insert_sql =
    "INSERT OR IGNORE INTO call_lanes (trace_key, thread_native_id, depth, part_index, last_end, first_id, first_end,"
    " count, ends, ids) SELECT ?2, thread_native_id, depth, ?3, last_end, id, first_end, count, ends, ids"
    " FROM nefa_index_rows WHERE batch = ?1";
constexpr const char* lane_insert_sql =
    "INSERT OR IGNORE INTO call_lanes (trace_key, thread_native_id, depth, part_index, last_end, first_id, first_end,"
    " count, ends, ids) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";

std::string rows_insert_sql() {
    return "INSERT OR IGNORE INTO calls (trace_key, part_index, id, thread_native_id, parent, depth, start, duration,"
           " self_time, name_id, path_id, line, kind, resumed, flags, call_offset, call_length, return_offset,"
           " return_length) SELECT ?2, ?3, id, thread_native_id, parent, depth, start, duration, self_time, name_id,"
           " path_id, line, kind, resumed, flags, call_offset, call_length, return_offset, return_length FROM " +
           std::string(rows_table_name) + " WHERE batch = ?1";
}

// The callbacks run inside sqlite3_step, on the writer's thread, with the
// connection's mutex held; they never touch the interpreter.
int rows_connect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** table, char**) {
    const int status = sqlite::api().declare_vtab(
        db,
        "CREATE TABLE x(id, thread_native_id, parent, depth, start, duration, self_time, name_id, path_id, line,"
        " kind, resumed, flags, call_offset, call_length, return_offset, return_length, first_offset, ids,"
        " last_end, first_end, count, ends, batch HIDDEN)");
    if (status != SQLITE_OK) return status;
    *table = new (std::nothrow) sqlite3_vtab{};
    return *table == nullptr ? SQLITE_NOMEM : SQLITE_OK;
}

int rows_disconnect(sqlite3_vtab* table) {
    delete table;
    return SQLITE_OK;
}

int rows_best_index(sqlite3_vtab*, sqlite3_index_info* info) {
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& constraint = info->aConstraint[i];
        if (constraint.iColumn == column_batch && constraint.op == SQLITE_INDEX_CONSTRAINT_EQ && constraint.usable) {
            info->aConstraintUsage[i].argvIndex = 1;
            info->aConstraintUsage[i].omit = 1;
            info->idxNum = 1;
            info->estimatedCost = 1;
            return SQLITE_OK;
        }
    }
    info->idxNum = 0;  // no batch: no rows
    info->estimatedCost = 1e300;
    return SQLITE_OK;
}

int rows_open(sqlite3_vtab*, sqlite3_vtab_cursor** cursor) {
    auto* opened = new (std::nothrow) RowsCursor{};
    if (opened == nullptr) return SQLITE_NOMEM;
    *cursor = &opened->base;
    return SQLITE_OK;
}

int rows_close(sqlite3_vtab_cursor* cursor) {
    delete reinterpret_cast<RowsCursor*>(cursor);
    return SQLITE_OK;
}

int rows_filter(sqlite3_vtab_cursor* base, int index, const char*, int argc, sqlite3_value** argv) {
    auto* cursor = reinterpret_cast<RowsCursor*>(base);
    cursor->api = &sqlite::api();
    cursor->view = index == 1 && argc == 1
                       ? static_cast<const BatchView*>(cursor->api->value_pointer(argv[0], batch_pointer_type))
                       : nullptr;
    cursor->at = 0;
    return SQLITE_OK;
}

int rows_next(sqlite3_vtab_cursor* cursor) {
    ++reinterpret_cast<RowsCursor*>(cursor)->at;
    return SQLITE_OK;
}

int rows_eof(sqlite3_vtab_cursor* base) {
    const auto* cursor = reinterpret_cast<const RowsCursor*>(base);
    if (cursor->view == nullptr) return 1;
    const Batch& batch = *cursor->view->batch;
    const std::size_t size = cursor->view->what == view_name_blocks ? batch.names.blocks.size()
                             : cursor->view->what == view_lanes     ? batch.lanes.blocks.size()
                                                                    : batch.rows.size();
    return cursor->at >= size;
}

int name_block_column(const RowsCursor& cursor, sqlite3_context* context, int column) {
    const Batch& batch = *cursor.view->batch;
    const NameBlock& block = batch.names.blocks[cursor.at];
    switch (column) {
        case column_id: cursor.api->result_int64(context, block.first_id); break;
        case column_name: cursor.api->result_int64(context, block.name_id); break;
        case column_first_offset: cursor.api->result_int64(context, block.first_offset); break;
        case column_ids:
            cursor.api->result_blob(context, batch.names.bytes.data() + block.bytes_at,
                                    static_cast<int>(block.byte_count), SQLITE_STATIC);
            break;
        default: cursor.api->result_null(context); break;
    }
    return SQLITE_OK;
}

int lane_column(const RowsCursor& cursor, sqlite3_context* context, int column) {
    const LaneOut& lanes = cursor.view->batch->lanes;
    const LaneBlock& block = lanes.blocks[cursor.at];
    const sqlite::Api& s = *cursor.api;
    const int bytes = static_cast<int>(block.count * 8);
    switch (column) {
        case column_id: s.result_int64(context, block.first_id); break;
        case column_thread: s.result_int64(context, static_cast<long long>(block.thread)); break;
        case column_depth: s.result_int64(context, block.depth); break;
        case column_last_end: s.result_int64(context, block.last_end); break;
        case column_first_end: s.result_int64(context, block.first_end); break;
        case column_count: s.result_int64(context, block.count); break;
        case column_ends: s.result_blob(context, lanes.bytes.data() + block.bytes_at, bytes, SQLITE_STATIC); break;
        case column_ids:
            s.result_blob(context, lanes.bytes.data() + block.bytes_at + bytes, bytes, SQLITE_STATIC);
            break;
        default: s.result_null(context); break;
    }
    return SQLITE_OK;
}

int rows_column(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
    const auto* cursor = reinterpret_cast<const RowsCursor*>(base);
    if (cursor->view->what == view_name_blocks) return name_block_column(*cursor, context, column);
    if (cursor->view->what == view_lanes) return lane_column(*cursor, context, column);
    const sqlite::Api& s = *cursor->api;
    const Batch& batch = *cursor->view->batch;
    const std::size_t i = cursor->at;
    const Row& row = batch.rows[i];
    const long long base_id = cursor->view->id_base;
    auto optional = [&](long long number, bool present) {
        if (present) s.result_int64(context, number);
        else s.result_null(context);
    };
    switch (column) {
        case column_id: s.result_int64(context, base_id + row.id); break;
        case column_thread: s.result_int64(context, static_cast<long long>(row.thread)); break;
        case column_parent: optional(base_id + row.parent, row.parent >= 0); break;
        case column_depth: s.result_int64(context, row.depth); break;
        case column_start: s.result_int64(context, row.start_ns); break;
        case column_duration: s.result_int64(context, row.duration_ns); break;
        case column_self: s.result_int64(context, row.self_ns); break;
        case column_name: s.result_int64(context, batch.name_ids[i]); break;
        case column_path: optional(batch.path_ids[i], row.path != no_id); break;
        case column_line: optional(row.line, row.line >= 0); break;
        case column_kind:
            if (row.kind >= 0) {
                const std::string_view kind = batch.kinds[i];
                s.result_text(context, kind.data(), static_cast<int>(kind.size()), SQLITE_STATIC);
            } else {
                s.result_null(context);
            }
            break;
        case column_resumed: s.result_int64(context, row.resumed ? 1 : 0); break;
        case column_flags: s.result_int64(context, row.flags); break;
        case column_call_offset: optional(row.call_offset, row.call_offset >= 0); break;
        case column_call_length: optional(row.call_length, row.call_offset >= 0); break;
        case column_return_offset: optional(row.return_offset, row.return_offset >= 0); break;
        case column_return_length: optional(row.return_length, row.return_offset >= 0); break;
        default: s.result_null(context); break;
    }
    return SQLITE_OK;
}

int rows_rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
    *rowid = static_cast<sqlite3_int64>(reinterpret_cast<const RowsCursor*>(cursor)->at);
    return SQLITE_OK;
}

// xCreate null: eponymous only, never part of a schema.
const sqlite3_module rows_module = {
    0,          nullptr,     rows_connect, rows_best_index, rows_disconnect, rows_disconnect, rows_open,
    rows_close, rows_filter, rows_next,    rows_eof,        rows_column,     rows_rowid,
};

}  // namespace

void add_frames(const std::vector<Row>& rows, long long id_base, LaneBuilder& lanes, LaneOut& out) {
    for (const Row& row : rows) {
        if (row.kind < 0) lanes.add(row.thread, row.depth, row.start_ns + row.duration_ns, id_base + row.id, out);
    }
}

Batch make_batch(std::vector<Row>&& rows, const std::vector<std::string_view>& kinds, const RowIds& ids,
                 LaneBuilder& lanes, NameBlockBuilder& names, bool done) {
    Batch batch;
    add_frames(rows, ids.id_base, lanes, batch.lanes);
    if (done) lanes.flush(batch.lanes);
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
        names.add(batch.name_ids[i], ids.id_base + row.id, batch.names);
    }
    if (done) names.flush(batch.names);
    else names.end_batch(batch.names);
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
    if (table_ != nullptr) s.finalize(table_);
    if (name_block_ != nullptr) s.finalize(name_block_);
    if (name_blocks_table_ != nullptr) s.finalize(name_blocks_table_);
    if (lane_ != nullptr) s.finalize(lane_);
    if (lanes_table_ != nullptr) s.finalize(lanes_table_);
}

bool RowInserter::insert_through_table(sqlite3_stmt* statement, const Batch& batch, int what, std::size_t expected,
                                       const char* refused) {
    const sqlite::Api& s = sqlite::api();
    BatchView view{&batch, id_base_, what};
    sqlite3_mutex* mutex = s.db_mutex(db_);
    s.mutex_enter(mutex);  // the count of changes and the error message are this statement's
    s.bind_pointer(statement, 1, &view, batch_pointer_type, nullptr);
    const int status = s.step(statement);
    const bool all = status == SQLITE_DONE && static_cast<std::size_t>(s.changes(db_)) == expected;
    if (status != SQLITE_DONE) error_ = s.errmsg(db_);
    else if (!all) error_ = refused;
    s.reset(statement);
    s.bind_null(statement, 1);  // the view goes with this call
    s.mutex_leave(mutex);
    return all;
}

bool RowInserter::insert_name_blocks(const Batch& batch) {
    const sqlite::Api& s = sqlite::api();
    if (batch.names.blocks.empty()) return true;
    if (table_ != nullptr) {  // the rows table is registered: read the blocks through it too
        if (name_blocks_table_ == nullptr) {
            if (!prepare_once(name_blocks_table_, name_blocks_insert_sql)) return false;
            s.bind_int64(name_blocks_table_, 2, trace_key_);
        }
        return insert_through_table(name_blocks_table_, batch, view_name_blocks, batch.names.blocks.size(),
                                    "a name block was refused (its offsets are taken)");
    }
    if (name_block_ == nullptr) {
        if (!prepare_once(name_block_,
                          "INSERT OR IGNORE INTO call_name_blocks (trace_key, name_id, first_id, first_offset, ids)"
                          " VALUES (?1, ?2, ?3, ?4, ?5)")) {
            return false;
        }
        s.bind_int64(name_block_, 1, trace_key_);
    }
    sqlite3_mutex* mutex = s.db_mutex(db_);
    s.mutex_enter(mutex);  // the binds and the error message are this statement's
    for (const NameBlock& block : batch.names.blocks) {
        s.bind_int64(name_block_, 2, block.name_id);
        s.bind_int64(name_block_, 3, block.first_id);
        s.bind_int64(name_block_, 4, block.first_offset);
        s.bind_blob(name_block_, 5, batch.names.bytes.data() + block.bytes_at, static_cast<int>(block.byte_count),
                    SQLITE_STATIC);
        if (!step_one_row(name_block_, "a name block was refused (its offsets are taken)")) {
            s.mutex_leave(mutex);
            return false;
        }
    }
    s.mutex_leave(mutex);
    return true;
}

bool RowInserter::prepare_once(sqlite3_stmt*& statement, const char* sql) {
    if (sqlite::api().prepare(db_, sql, -1, &statement, nullptr) == SQLITE_OK) return true;
    statement = nullptr;
    return fail();
}

bool RowInserter::step_one_row(sqlite3_stmt* statement, const char* refused) {
    const sqlite::Api& s = sqlite::api();
    const int status = s.step(statement);
    const bool written = status == SQLITE_DONE && s.changes(db_) == 1;
    if (status != SQLITE_DONE) error_ = s.errmsg(db_);
    else if (!written) error_ = refused;
    s.reset(statement);
    return written;
}

bool RowInserter::insert_lanes(const Batch& batch) {
    const sqlite::Api& s = sqlite::api();
    const LaneOut& lanes = batch.lanes;
    if (lanes.blocks.empty()) return true;
    constexpr const char* refused = "a lane block was refused (its first id is taken)";
    if (table_statement() != nullptr) {
        if (lanes_table_ == nullptr) {
            if (!prepare_once(lanes_table_, lanes_insert_sql)) return false;
            s.bind_int64(lanes_table_, 2, trace_key_);
            s.bind_int64(lanes_table_, 3, part_index_);
        }
        return insert_through_table(lanes_table_, batch, view_lanes, lanes.blocks.size(), refused);
    }
    if (lane_ == nullptr) {
        if (!prepare_once(lane_, lane_insert_sql)) return false;
        s.bind_int64(lane_, 1, trace_key_);
        s.bind_int64(lane_, 4, part_index_);
    }
    sqlite3_mutex* mutex = s.db_mutex(db_);
    s.mutex_enter(mutex);  // the binds and the error message are this statement's
    for (const LaneBlock& block : lanes.blocks) {
        const int bytes = static_cast<int>(block.count * 8);
        s.bind_int64(lane_, 2, static_cast<long long>(block.thread));
        s.bind_int64(lane_, 3, block.depth);
        s.bind_int64(lane_, 5, block.last_end);
        s.bind_int64(lane_, 6, block.first_id);
        s.bind_int64(lane_, 7, block.first_end);
        s.bind_int64(lane_, 8, block.count);
        s.bind_blob(lane_, 9, lanes.bytes.data() + block.bytes_at, bytes, SQLITE_STATIC);
        s.bind_blob(lane_, 10, lanes.bytes.data() + block.bytes_at + bytes, bytes, SQLITE_STATIC);
        if (!step_one_row(lane_, refused)) {
            s.mutex_leave(mutex);
            return false;
        }
    }
    s.mutex_leave(mutex);
    return true;
}

sqlite3_stmt* RowInserter::table_statement() {
    if (table_ != nullptr || table_tried_) return table_;
    table_tried_ = true;
    const sqlite::Api& s = sqlite::api();
    if (!s.rows_table) return nullptr;
    std::string sql;
    try {
        sql = rows_insert_sql();
    } catch (const std::bad_alloc&) {
        return nullptr;  // on the writer's thread: nothing may escape it
    }
    // The module is registered once per connection: registering it again
    // would drop the table a statement of an earlier build still names.
    if (s.prepare(db_, sql.c_str(), -1, &table_, nullptr) != SQLITE_OK) {
        table_ = nullptr;
        if (s.create_module(db_, rows_table_name, &rows_module, nullptr, nullptr) != SQLITE_OK ||
            s.prepare(db_, sql.c_str(), -1, &table_, nullptr) != SQLITE_OK) {
            table_ = nullptr;
            return nullptr;
        }
    }
    s.bind_int64(table_, 2, trace_key_);
    s.bind_int64(table_, 3, part_index_);
    return table_;
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
    if (n == 0) return insert_name_blocks(batch) && insert_lanes(batch);  // the part's last blocks
    if (sqlite3_stmt* st = table_statement()) {
        return insert_through_table(st, batch, view_rows, n, "a row was refused (its id is taken)") &&
               insert_name_blocks(batch) && insert_lanes(batch);
    }
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
    return insert_name_blocks(batch) && insert_lanes(batch);
}

bool insert_rows(PyObject* connection, const std::vector<Row>& rows, const std::vector<std::string_view>& kinds,
                 const RowIds& ids, LaneBuilder& lanes, NameBlockBuilder& names, bool done, bool& failed) {
    failed = false;
    sqlite3* db = usable_handle(connection);
    if (db == nullptr) return false;
    std::vector<Row> copy(rows);
    const Batch batch = make_batch(std::move(copy), kinds, ids, lanes, names, done);
    RowInserter inserter(db, ids.trace_key, ids.part_index, ids.id_base);
    if (!inserter.insert(batch)) {
        PyErr_Format(PyExc_RuntimeError, "cannot index the calls: %s", inserter.error().c_str());
        failed = true;
        return false;
    }
    return true;
}

}  // namespace nefa::trace_index
