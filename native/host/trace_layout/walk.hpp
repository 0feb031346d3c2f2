// What a flame chart shows of a time window, walked natively through the
// call index: the walk of nefa/traces/layout.py, with the calls read from
// the table only where the index alone cannot tell.
//
// The lane blocks (call_lanes) hold (end, id) of each (thread, depth) row
// in order, a part's in blocks of up to 48: a jump to the next pixel
// column is mostly a binary search in the block at hand or the next one,
// not a seek from the tree's root.  A call of a row starts where the one
// before it ended or later,
// so a call that ends less than a pixel after the call visited before it
// is narrower than a pixel and less than a pixel from it: it joins the
// open block without being read.  Only the calls that may be wide, that
// may open a block, or that may start past the window are read.
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace nefa::trace_layout {

struct Call {
    long long id, start, duration, name_id;
    long long path_id;  // -1: none
    long long line;     // -1: none
    long long flags;    // 4 added for a resumed generator or coroutine
};

struct Block {
    long long start, end, count;  // count: the calls the walk saw in it
};

struct Row {
    int depth;
    std::vector<Call> calls;
    std::vector<Block> blocks;
};

struct Event {
    long long id, at, name_id;
};

struct Query {
    long long key, thread;
    int first_depth, last_depth;  // inclusive
    long long t0, t1;             // nanoseconds, as calls.start
    double px;                    // nanoseconds a pixel
    long long most;               // visits a row (or the events) may take
};

struct Window {
    std::vector<Row> rows;
    std::vector<Event> events;
    long long visited = 0;
};

// The rows last walked, each kept until a later window walks it again: a
// window at the same scale that overlaps it (a pan) walks only the part
// the kept row lacks.  One row a (thread, depth), each bounded as a
// window's row is.
struct KeptRow {
    long long t0 = 0, t1 = 0;
    double px = 0;
    Row row{};
    bool walked = false;
};

struct KeptEvents {
    long long t0 = 0, t1 = 0;
    double px = 0;
    std::vector<Event> events;
    bool walked = false;
};

struct Kept {
    std::map<std::tuple<long long, long long, int>, KeptRow> rows;  // (trace key, thread, depth)
    std::map<std::pair<long long, long long>, KeptEvents> events;   // (trace key, thread)
};

// Fills `out`; false with `error` set on an SQLite error.  With a
// `helper` connection to the same database, half the rows are walked on it
// at the same time, on a thread of its own.  Uses no Python object: runs
// without the interpreter lock, while no other thread uses either connection.
// With `kept`, rows walked before answer what they can, and the rows walked
// are kept.
bool walk(sqlite3* db, sqlite3* helper, Kept* kept, const Query& query, Window& out, std::string& error);

}  // namespace nefa::trace_layout
