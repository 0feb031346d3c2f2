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
    " AND depth = ?3 AND kind IS NULL AND end > ?4 ORDER BY end";
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

    // The row's calls in [t0, t1) at `px` nanoseconds a pixel, into `found`.
    bool row(int depth, long long t0, long long t1, double px, Row& found, long long& visited) {
        sqlite3_stmt* st = row_.get();
        s_.reset(st);
        s_.bind_int64(st, 1, q_.key);
        s_.bind_int64(st, 2, q_.thread);
        s_.bind_int64(st, 3, depth);
        Block block{};
        bool open = false;  // the last call visited is in `block`
        long long last_end = 0;
        long long budget = q_.most;
        int seeks_left = 0;
        bool have = seek(st, t0);
        while (have && budget-- > 0) {
            ++visited;
            const long long end = s_.column_int64(st, 0);
            if (open && end < t1 && static_cast<double>(end - last_end) < px) {
                block.end = std::max(block.end, end);
                ++block.count;
            } else {
                Call call{};
                if (!read_call(s_.column_int64(st, 1), call)) return false;
                if (call.start >= t1) break;
                if (static_cast<double>(call.duration) >= px) {
                    if (open) found.blocks.push_back(block);
                    open = false;
                    found.calls.push_back(call);
                    last_end = end;
                    have = step(st);
                    continue;
                }
                if (open && static_cast<double>(call.start - block.end) < px) {
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
            const double column = std::floor(static_cast<double>(std::max(end, t0) - t0) / px) + 1;
            const auto boundary = static_cast<long long>(std::ceil(static_cast<double>(t0) + column * px));
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
        return true;
    }

    // At most one plugin record a pixel column, the first in it, in [t0, t1).
    bool events(long long t0, long long t1, double px, std::vector<Event>& found, long long& visited) {
        sqlite3_stmt* st = event_.get();
        s_.reset(st);
        s_.bind_int64(st, 1, q_.key);
        s_.bind_int64(st, 2, q_.thread);
        s_.bind_int64(st, 3, t0 - 1);
        s_.bind_int64(st, 4, LLONG_MAX);
        long long budget = q_.most;
        bool have = step(st);
        while (have && budget-- > 0) {
            const long long at = s_.column_int64(st, 0);
            if (at >= t1) break;
            ++visited;
            Call record{};
            if (!read_call(s_.column_int64(st, 1), record)) return false;
            found.push_back(Event{s_.column_int64(st, 1), at, record.name_id});
            const double column = std::floor(static_cast<double>(at - t0) / px) + 1;
            const auto boundary = static_cast<long long>(std::ceil(static_cast<double>(t0) + column * px));
            s_.reset(st);
            s_.bind_int64(st, 3, boundary - 1);
            have = step(st);
        }
        return ok();
    }

    std::string error() const { return s_.errmsg(db_); }

private:
    // Positions on the first call of the row that ends after `after`.
    bool seek(sqlite3_stmt* st, long long after) {
        s_.reset(st);
        s_.bind_int64(st, 4, after);
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

// Whether a kept walk can answer at `px`: the same scale, but for the
// nanosecond the window's ends were rounded to.
bool same_scale(double kept, double px) { return std::fabs(kept - px) <= 1e-6 * px; }

// Appends `part`, later in time, merging what touches at the seam.
void append(Row& into, const Row& part, double px) {
    for (const Call& call : part.calls) {
        if (into.calls.empty() || into.calls.back().id != call.id) into.calls.push_back(call);
    }
    for (const Block& block : part.blocks) {
        if (!into.blocks.empty() && static_cast<double>(block.start - into.blocks.back().end) < px) {
            Block& last = into.blocks.back();
            last.end = std::max(last.end, block.end);
            last.count += block.count;
        } else {
            into.blocks.push_back(block);
        }
    }
}

// What of a kept row lies in [t0, t1).
Row clip(const Row& row, long long t0, long long t1) {
    Row inside{row.depth, {}, {}};
    for (const Call& call : row.calls) {
        if (call.start < t1 && call.start + call.duration > t0) inside.calls.push_back(call);
    }
    for (const Block& block : row.blocks) {
        if (block.start < t1 && block.end > t0) inside.blocks.push_back(block);
    }
    return inside;
}

// One row of the window, from its kept walk where that helps, kept anew.
bool walk_row(Walker& walker, const Query& q, int depth, KeptRow* kept, Window& out) {
    Row row{depth, {}, {}};
    double px = q.px;
    if (kept != nullptr && kept->walked && same_scale(kept->px, q.px) && kept->t0 < q.t1 && q.t0 < kept->t1) {
        px = kept->px;
        Row before{depth, {}, {}}, after{depth, {}, {}};
        if (q.t0 < kept->t0 && !walker.row(depth, q.t0, kept->t0, px, before, out.visited)) return false;
        if (kept->t1 < q.t1 && !walker.row(depth, kept->t1, q.t1, px, after, out.visited)) return false;
        row = std::move(before);
        append(row, clip(kept->row, q.t0, q.t1), px);
        append(row, after, px);
    } else if (!walker.row(depth, q.t0, q.t1, px, row, out.visited)) {
        return false;
    }
    if (kept != nullptr) *kept = KeptRow{q.t0, q.t1, px, row, true};
    if (!row.calls.empty() || !row.blocks.empty()) out.rows.push_back(std::move(row));
    return true;
}

bool walk_events(Walker& walker, const Query& q, KeptEvents* kept, Window& out) {
    std::vector<Event> events;
    double px = q.px;
    if (kept != nullptr && kept->walked && same_scale(kept->px, q.px) && kept->t0 < q.t1 && q.t0 < kept->t1) {
        px = kept->px;
        if (q.t0 < kept->t0 && !walker.events(q.t0, kept->t0, px, events, out.visited)) return false;
        for (const Event& event : kept->events) {
            if (event.at >= q.t0 && event.at < q.t1) events.push_back(event);
        }
        if (kept->t1 < q.t1 && !walker.events(kept->t1, q.t1, px, events, out.visited)) return false;
    } else if (!walker.events(q.t0, q.t1, px, events, out.visited)) {
        return false;
    }
    if (kept != nullptr) *kept = KeptEvents{q.t0, q.t1, px, events, true};
    out.events = std::move(events);
    return true;
}

struct Share {
    std::vector<int> depths;
    std::vector<KeptRow*> kept;  // each depth's, or null
};

// Walks a share of the rows (and the plugin records, with `events`) on `db`.
bool walk_rows(sqlite3* db, const Query& query, const Share& share, KeptEvents* events, bool with_events,
               Window& out, std::string& error) {
    Walker walker(db, query);
    bool done = walker.prepare();
    for (std::size_t i = 0; done && i < share.depths.size(); ++i) {
        done = walk_row(walker, query, share.depths[i], share.kept[i], out);
    }
    if (done && with_events) done = walk_events(walker, query, events, out);
    if (!done) error = walker.error();
    return done;
}

}  // namespace

bool walk(sqlite3* db, sqlite3* helper, Kept* kept, const Query& query, Window& out, std::string& error) {
    // The kept rows are found here, before the helper thread runs: each
    // thread then touches its own.
    Share mine, theirs;
    for (int depth = query.first_depth; depth <= query.last_depth; ++depth) {
        // Alternate rows: neighbours cost about the same.
        Share& share = helper != nullptr && (depth - query.first_depth) % 2 == 1 ? theirs : mine;
        share.depths.push_back(depth);
        share.kept.push_back(kept != nullptr ? &kept->rows[{query.key, query.thread, depth}] : nullptr);
    }
    KeptEvents* events = kept != nullptr ? &kept->events[{query.key, query.thread}] : nullptr;
    if (theirs.depths.empty()) return walk_rows(db, query, mine, events, true, out, error);
    Window other;
    std::string other_error;
    bool other_done = false, no_memory = false;
    auto helper_walk = [&] {
        try {
            other_done = walk_rows(helper, query, theirs, nullptr, false, other, other_error);
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
    };
    std::thread thread;
    try {
        thread = std::thread(helper_walk);
    } catch (const std::system_error&) {
        helper_walk();
    }
    bool done = walk_rows(db, query, mine, events, true, out, error);
    if (thread.joinable()) thread.join();
    if (no_memory) throw std::bad_alloc();
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
