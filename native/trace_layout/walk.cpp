#include "trace_layout/walk.hpp"

#include "trace_index/sqlite_api.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <system_error>
#include <thread>

namespace nefa::trace_layout {

namespace {

constexpr const char row_sql[] =
    "SELECT end, id FROM calls INDEXED BY calls_by_end WHERE trace_key = ?1 AND thread_native_id = ?2"
    " AND depth = ?3 AND kind IS NULL AND (end, id) > (?4, ?5) ORDER BY end, id";
constexpr const char call_sql[] =
    "SELECT start, duration, name_id, path_id, line, flags, resumed FROM calls WHERE trace_key = ?1 AND id = ?2";
constexpr const char event_sql[] =
    "SELECT start, id FROM calls INDEXED BY events_by_time WHERE trace_key = ?1 AND thread_native_id = ?2"
    " AND kind IS NOT NULL AND (start, id) > (?3, ?4) ORDER BY start, id";

// A jump first tries the next call of the index, which is cheaper than a
// seek; once that fails, this many jumps seek at once: in a dense row the
// step is a wasted read.
constexpr int seek_streak = 32;

class Walker {
public:
    Walker(sqlite3* db, const Query& query) : db_(db), q_(query), s_(sqlite::api()) {}

    bool prepare() { return row_.prepare(db_, row_sql) && call_.prepare(db_, call_sql) && event_.prepare(db_, event_sql); }

    bool row(int depth, Window& out) {
        sqlite3_stmt* st = row_.get();
        s_.reset(st);
        s_.bind_int64(st, 1, q_.key);
        s_.bind_int64(st, 2, q_.thread);
        s_.bind_int64(st, 3, depth);
        Row found{depth, {}, {}};
        Block block{};
        bool open = false;  // the last call visited is in `block`
        long long last_end = 0;
        long long budget = q_.most;
        int seeks_left = 0;
        bool have = seek(st, q_.t0);
        while (have && budget-- > 0) {
            ++out.visited;
            const long long end = s_.column_int64(st, 0);
            if (open && end < q_.t1 && static_cast<double>(end - last_end) < q_.px) {
                block.end = std::max(block.end, end);
                ++block.count;
            } else {
                Call call{};
                if (!read_call(s_.column_int64(st, 1), call)) return false;
                if (call.start >= q_.t1) break;
                if (static_cast<double>(call.duration) >= q_.px) {
                    if (open) found.blocks.push_back(block);
                    open = false;
                    found.calls.push_back(call);
                    last_end = end;
                    have = step(st);
                    continue;
                }
                if (open && static_cast<double>(call.start - block.end) < q_.px) {
                    block.end = std::max(block.end, end);
                    ++block.count;
                } else {
                    if (open) found.blocks.push_back(block);
                    block = Block{call.start, end, 1};
                    open = true;
                }
            }
            last_end = end;
            // On to the first call that ends past the pixel column this one ends in.
            const double column = std::floor(static_cast<double>(std::max(end, q_.t0) - q_.t0) / q_.px) + 1;
            const auto boundary = static_cast<long long>(std::ceil(static_cast<double>(q_.t0) + column * q_.px));
            if (seeks_left > 0) {
                --seeks_left;
            } else {
                have = step(st);
                if (!have || s_.column_int64(st, 0) >= boundary) continue;
                seeks_left = seek_streak;
            }
            have = seek(st, boundary - 1);
        }
        if (!ok()) return false;
        if (open) found.blocks.push_back(block);
        if (!found.calls.empty() || !found.blocks.empty()) out.rows.push_back(std::move(found));
        return true;
    }

    // At most one plugin record a pixel column, the first in it.
    bool events(Window& out) {
        sqlite3_stmt* st = event_.get();
        s_.reset(st);
        s_.bind_int64(st, 1, q_.key);
        s_.bind_int64(st, 2, q_.thread);
        s_.bind_int64(st, 3, q_.t0 - 1);
        s_.bind_int64(st, 4, LLONG_MAX);
        long long budget = q_.most;
        bool have = s_.step(st) == SQLITE_ROW;
        while (have && budget-- > 0) {
            const long long at = s_.column_int64(st, 0);
            if (at >= q_.t1) break;
            ++out.visited;
            Call record{};
            if (!read_call(s_.column_int64(st, 1), record)) return false;
            out.events.push_back(Event{s_.column_int64(st, 1), at, record.name_id});
            const double column = std::floor(static_cast<double>(at - q_.t0) / q_.px) + 1;
            const auto boundary = static_cast<long long>(std::ceil(static_cast<double>(q_.t0) + column * q_.px));
            s_.reset(st);
            s_.bind_int64(st, 3, boundary - 1);
            have = s_.step(st) == SQLITE_ROW;
        }
        return ok();
    }

    std::string error() const { return s_.errmsg(db_); }

private:
    // Positions on the first call of the row past (after, any id).
    bool seek(sqlite3_stmt* st, long long after) {
        s_.reset(st);
        s_.bind_int64(st, 4, after);
        s_.bind_int64(st, 5, LLONG_MAX);
        return step(st);
    }

    bool step(sqlite3_stmt* st) {
        last_ = s_.step(st);
        return last_ == SQLITE_ROW;
    }

    bool ok() const { return last_ == SQLITE_ROW || last_ == SQLITE_DONE; }

    bool read_call(long long id, Call& call) {
        sqlite3_stmt* st = call_.get();
        s_.reset(st);
        s_.bind_int64(st, 1, q_.key);
        s_.bind_int64(st, 2, id);
        const int status = s_.step(st);
        if (status != SQLITE_ROW) {
            last_ = status == SQLITE_DONE ? SQLITE_CORRUPT : status;
            return false;
        }
        auto optional = [&](int column) { return s_.column_type(st, column) == SQLITE_NULL ? -1 : s_.column_int64(st, column); };
        call = Call{id,
                    s_.column_int64(st, 0),
                    s_.column_int64(st, 1),
                    s_.column_int64(st, 2),
                    optional(3),
                    optional(4),
                    s_.column_int64(st, 5) | (s_.column_int64(st, 6) != 0 ? 4 : 0)};
        return true;
    }

    sqlite3* db_;
    const Query& q_;
    const sqlite::Api& s_;
    sqlite::Statement row_, call_, event_;
    int last_ = SQLITE_DONE;
};

}  // namespace

namespace {

// Walks `depths` (and the plugin records, with `events`) on `db`.
bool walk_rows(sqlite3* db, const Query& query, const std::vector<int>& depths, bool events, Window& out,
               std::string& error) {
    Walker walker(db, query);
    bool done = walker.prepare();
    for (std::size_t i = 0; done && i < depths.size(); ++i) done = walker.row(depths[i], out);
    if (done && events) done = walker.events(out);
    if (!done) error = walker.error();
    return done;
}

}  // namespace

bool walk(sqlite3* db, const Query& query, bool parallel, Window& out, std::string& error) {
    std::vector<int> mine, theirs;
    for (int depth = query.first_depth; depth <= query.last_depth; ++depth) {
        // Alternate rows: neighbours cost about the same.
        (parallel && (depth - query.first_depth) % 2 == 1 ? theirs : mine).push_back(depth);
    }
    const char* path = theirs.empty() ? nullptr : sqlite::api().filename(db, "main");
    if (path == nullptr || *path == '\0') {
        mine.insert(mine.end(), theirs.begin(), theirs.end());
        std::sort(mine.begin(), mine.end());
        return walk_rows(db, query, mine, true, out, error);
    }
    // Half the rows on a connection of their own, on a thread of their own.
    Window other;
    std::string other_error;
    bool opened = false, other_done = false;
    auto helper_walk = [&] {
        try {
            sqlite::Connection connection(path);
            opened = connection.get() != nullptr;
            if (opened) other_done = walk_rows(connection.get(), query, theirs, false, other, other_error);
        } catch (const std::bad_alloc&) {
            other_error = "out of memory";
        }
    };
    std::thread helper;
    try {
        helper = std::thread(helper_walk);
    } catch (const std::system_error&) {
        helper_walk();
    }
    bool done = walk_rows(db, query, mine, true, out, error);
    if (helper.joinable()) helper.join();
    if (!opened) {
        other = Window{};
        other_done = walk_rows(db, query, theirs, false, other, other_error);
    }
    if (done && !other_done) {
        error = other_error;
        done = false;
    }
    out.visited += other.visited;
    for (Row& row : other.rows) out.rows.push_back(std::move(row));
    std::sort(out.rows.begin(), out.rows.end(), [](const Row& a, const Row& b) { return a.depth < b.depth; });
    return done;
}

}  // namespace nefa::trace_layout
