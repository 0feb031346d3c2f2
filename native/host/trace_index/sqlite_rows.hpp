// Rows written into `calls` through the very SQLite library, and the very
// connection, that Python's sqlite3 module uses: binding 19 values per row
// through executemany costs several times what the scan does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "host/trace_index/lane_blocks.hpp"
#include "host/trace_index/name_blocks.hpp"
#include "host/trace_index/scanner.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace nefa::trace_index {

struct RowIds {
    long long trace_key;
    long long part_index;
    long long id_base;
    const std::vector<long long>* name_ids;
    const std::vector<long long>* path_ids;
};

// Rows ready for the table: database ids in place of the scanner's local
// ones, kinds as texts that outlive the batch (the scanner's interned ones).
struct Batch {
    std::vector<Row> rows;
    std::vector<long long> name_ids;      // per row
    std::vector<long long> path_ids;      // per row; meaningless where row.path == no_id
    std::vector<std::string_view> kinds;  // per row; meaningless where row.kind < 0
    NameBlockOut names;                   // the name blocks these rows (and those before them) completed
    LaneOut lanes;                        // the lane blocks these rows (and those before them) completed
};

// Resolves the rows' ids (the caller checked that every id is mapped); their
// frames go to `lanes` and their names to `names`, whose completed blocks the
// batch takes, and all their open ones too when the part is `done`. Rows
// come in id order.
Batch make_batch(std::vector<Row>&& rows, const std::vector<std::string_view>& kinds, const RowIds& ids,
                 LaneBuilder& lanes, NameBlockBuilder& names, bool done);

// Feeds the frames among `rows` (in id order) to `lanes`.
void add_frames(const std::vector<Row>& rows, long long id_base, LaneBuilder& lanes, LaneOut& out);

// The SQLite handle of the connection when rows can be written through it:
// SQLite loaded as a shared library, a sqlite3.Connection, open, inside a
// transaction (outside one each row would be a transaction of its own: the
// Python path says what is wrong). Null otherwise. Interpreter lock held.
sqlite3* usable_handle(PyObject* connection);

// Whether SQLite guards the connection with a mutex of its own (serialized
// mode), so that a thread other than the interpreter's may use it.
bool serialized(sqlite3* db);

// Inserts batches into `calls`, a whole batch a statement where SQLite can
// read it as a table (else several rows a statement, their values bound):
// each statement opens the table's and its indexes' cursors once for all
// its rows. Uses only the SQLite handle (serialized mode makes it safe
// beside other users of the connection), never the interpreter.
class RowInserter {
public:
    RowInserter(sqlite3* db, long long trace_key, long long part_index, long long id_base)
        : db_(db), trace_key_(trace_key), part_index_(part_index), id_base_(id_base) {}
    ~RowInserter();
    RowInserter(const RowInserter&) = delete;
    RowInserter& operator=(const RowInserter&) = delete;

    // False with error() set on an SQLite error.
    bool insert(const Batch& batch);
    const std::string& error() const { return error_; }

private:
    sqlite3_stmt* statement(int rows);
    // The statement that inserts a whole batch through the rows table, or
    // null where that table cannot be had (values are bound then).
    sqlite3_stmt* table_statement();
    // One statement reading the batch's rows (or name blocks) through the
    // rows table, which must change `expected` rows; `refused` is the error
    // when it changes fewer.
    bool insert_through_table(sqlite3_stmt* statement, const Batch& batch, int what, std::size_t expected,
                              const char* refused);
    bool insert_name_blocks(const Batch& batch);
    bool insert_lanes(const Batch& batch);
    // Runs `statement`, its values bound, which must insert one row, and
    // resets it; false with error() set (`refused` when no row went in).
    // The caller holds the connection's mutex.
    bool step_one_row(sqlite3_stmt* statement, const char* refused);
    // Prepares `sql` into `statement`; false with error() set (and
    // `statement` null) when SQLite refuses it.
    bool prepare_once(sqlite3_stmt*& statement, const char* sql);
    bool fail();

    sqlite3* db_;
    long long trace_key_, part_index_, id_base_;
    sqlite3_stmt* many_ = nullptr;
    sqlite3_stmt* one_ = nullptr;
    sqlite3_stmt* table_ = nullptr;
    sqlite3_stmt* name_block_ = nullptr;         // one block a statement, its values bound
    sqlite3_stmt* name_blocks_table_ = nullptr;  // a batch's blocks a statement, through the rows table
    sqlite3_stmt* lane_ = nullptr;               // one lane block a statement, its values bound
    sqlite3_stmt* lanes_table_ = nullptr;        // a batch's lane blocks a statement, through the rows table
    bool table_tried_ = false;
    std::string error_;
};

// Inserts the rows into `calls` on the connection's handle, inside the
// connection's current transaction, and the lane blocks they complete (all
// of them when the part is `done`). Returns false with nothing done when
// the handle cannot be used this way (see usable_handle): the caller then
// inserts through Python. On an SQLite error returns false with a Python
// exception set. Interpreter lock held throughout, so no Python thread
// uses the connection meanwhile.
bool insert_rows(PyObject* connection, const std::vector<Row>& rows, const std::vector<std::string_view>& kinds,
                 const RowIds& ids, LaneBuilder& lanes, NameBlockBuilder& names, bool done, bool& failed);

}  // namespace nefa::trace_index
