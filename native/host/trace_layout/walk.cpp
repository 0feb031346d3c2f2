#include "host/trace_layout/walk.hpp"

#include "host/trace_index/lane_blocks.hpp"
#include "host/trace_index/sqlite_api.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <system_error>
#include <thread>

namespace nefa::trace_layout {

namespace {

// A part's blocks of one lane, from the first that holds a frame ending
// after ?5: within a part, (last_end, first_id) order is the frames' order.
constexpr const char lane_sql[] =
    "SELECT last_end, ends, ids FROM call_lanes WHERE trace_key = ?1 AND thread_native_id = ?2 AND depth = ?3"
    " AND part_index = ?4 AND last_end > ?5 ORDER BY last_end, first_id";
constexpr const char parts_sql[] = "SELECT part_index FROM call_index_parts WHERE trace_key = ?1 ORDER BY part_index";
constexpr const char call_sql[] =
    "SELECT start, duration, name_id, path_id, line, flags, resumed FROM calls WHERE trace_key = ?1 AND id = ?2";
constexpr const char event_sql[] =
    "SELECT start, id FROM calls INDEXED BY events_by_time WHERE trace_key = ?1 AND thread_native_id = ?2"
    " AND kind IS NOT NULL AND (start, id) > (?3, ?4) ORDER BY start, id";

// One part's frames of a lane, in (end, id) order, a block row at a time.
class PartLane {
public:
    PartLane() : s_(sqlite::api()) {}

    bool prepare(sqlite3* db) { return st_.prepare(db, lane_sql); }

    void bind(long long key, long long thread, int depth, long long part) {
        sqlite3_stmt* st = st_.get();
        s_.reset(st);
        s_.bind_int64(st, 1, key);
        s_.bind_int64(st, 2, thread);
        s_.bind_int64(st, 3, depth);
        s_.bind_int64(st, 4, part);
        valid_ = false;
    }

    // Positions on the first frame that ends after `after`; false past the
    // lane's last (or on an error: see ok).
    bool seek(long long after) {
        s_.reset(st_.get());
        s_.bind_int64(st_.get(), 5, after);
        if (!fetch()) return false;
        at_ = upper(after, 0);
        return true;
    }

    // On to the next frame.
    bool next() {
        if (!valid_) return false;
        if (++at_ < ends_.size()) return true;
        return fetch();
    }

    // From the current frame on, to the first that ends after `after`: in
    // the block at hand, a binary search; in the next block row, when the
    // target lies within about a block's span, one step; else a seek.
    bool advance(long long after) {
        if (!valid_) return false;
        if (ends_[at_] > after) return true;
        if (ends_.back() > after) {
            at_ = upper(after, at_);
            return true;
        }
        const long long span = ends_.back() - ends_.front();
        if (after - ends_.back() <= span) {
            if (!fetch()) return false;
            if (ends_.back() > after) {
                at_ = upper(after, 0);
                return true;
            }
        }
        return seek(after);
    }

    bool valid() const { return valid_; }
    long long end() const { return ends_[at_]; }
    long long id() const { return ids_[at_]; }
    bool ok() const { return status_ == SQLITE_ROW || status_ == SQLITE_DONE; }
    bool damaged() const { return damaged_; }

private:
    std::size_t upper(long long after, std::size_t from) const {
        return static_cast<std::size_t>(
            std::upper_bound(ends_.begin() + static_cast<std::ptrdiff_t>(from), ends_.end(), after) - ends_.begin());
    }

    // Reads the block row the statement steps to.
    bool fetch() {
        sqlite3_stmt* st = st_.get();
        valid_ = false;
        status_ = s_.step(st);
        if (status_ != SQLITE_ROW) return false;
        const long long last_end = s_.column_int64(st, 0);
        const auto* ends = static_cast<const std::uint8_t*>(s_.column_blob(st, 1));
        const int end_bytes = s_.column_bytes(st, 1);
        const auto* ids = static_cast<const std::uint8_t*>(s_.column_blob(st, 2));
        const int id_bytes = s_.column_bytes(st, 2);
        if (ends == nullptr || ids == nullptr || end_bytes != id_bytes || end_bytes % 8 != 0) return damage();
        const std::size_t n = static_cast<std::size_t>(end_bytes) / 8;
        ends_.resize(n);
        ids_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            ends_[i] = trace_index::read_le64(ends + i * 8);
            ids_[i] = trace_index::read_le64(ids + i * 8);
        }
        // The key's last end is what the seek went by: a block that
        // disagrees with it is damage, and would leave no frame to stop on.
        if (ends_.back() != last_end) return damage();
        at_ = 0;
        valid_ = true;
        return true;
    }

    bool damage() {
        status_ = SQLITE_CORRUPT;
        damaged_ = true;
        return false;
    }

    const sqlite::Api& s_;
    sqlite::Statement st_;
    std::vector<long long> ends_, ids_;
    std::size_t at_ = 0;
    bool valid_ = false;
    bool damaged_ = false;
    int status_ = SQLITE_DONE;
};

// A lane's frames over all the parts, in (end, id) order: each part's in
// order, merged (parts saved apart may overlap in time).
class Lane {
public:
    explicit Lane(std::vector<PartLane>& parts) : parts_(parts) {}

    void bind(long long key, long long thread, int depth, const std::vector<long long>& part_indexes) {
        for (std::size_t i = 0; i < parts_.size(); ++i) parts_[i].bind(key, thread, depth, part_indexes[i]);
    }

    bool seek(long long after) {
        for (PartLane& part : parts_) part.seek(after);
        return pick();
    }

    bool next() {
        parts_[current_].next();
        return pick();
    }

    bool advance(long long after) {
        for (PartLane& part : parts_) part.advance(after);
        return pick();
    }

    long long end() const { return parts_[current_].end(); }
    long long id() const { return parts_[current_].id(); }

    bool ok() const {
        return std::all_of(parts_.begin(), parts_.end(), [](const PartLane& part) { return part.ok(); });
    }
    bool damaged() const {
        return std::any_of(parts_.begin(), parts_.end(), [](const PartLane& part) { return part.damaged(); });
    }

private:
    // The part whose frame comes first; false when none has one left.
    bool pick() {
        bool found = false;
        for (std::size_t i = 0; i < parts_.size(); ++i) {
            const PartLane& part = parts_[i];
            if (!part.valid()) continue;
            const PartLane& best = parts_[current_];
            if (!found || part.end() < best.end() || (part.end() == best.end() && part.id() < best.id())) {
                current_ = i;
                found = true;
            }
        }
        return found && ok();
    }

    std::vector<PartLane>& parts_;
    std::size_t current_ = 0;
};

class Walker {
public:
    Walker(sqlite3* db, const Query& query) : db_(db), q_(query), s_(sqlite::api()) {}

    bool prepare() {
        if (!call_.prepare(db_, call_sql) || !event_.prepare(db_, event_sql)) return false;
        sqlite::Statement parts;
        if (!parts.prepare(db_, parts_sql)) return false;
        s_.bind_int64(parts.get(), 1, q_.key);
        while ((last_ = s_.step(parts.get())) == SQLITE_ROW) part_indexes_.push_back(s_.column_int64(parts.get(), 0));
        if (last_ != SQLITE_DONE) return false;
        parts_ = std::vector<PartLane>(part_indexes_.size());
        for (PartLane& part : parts_) {
            if (!part.prepare(db_)) return false;
        }
        return true;
    }

    // The row's calls in [t0, t1) at `px` nanoseconds a pixel, into `found`.
    bool row(int depth, long long t0, long long t1, double px, Row& found, long long& visited) {
        if (parts_.empty()) return true;
        Lane lane(parts_);
        lane.bind(q_.key, q_.thread, depth, part_indexes_);
        Block block{};
        bool open = false;  // the last call visited is in `block`
        long long last_end = 0;
        long long budget = q_.most;
        bool have = lane.seek(t0);
        while (have && budget-- > 0) {
            ++visited;
            const long long end = lane.end();
            if (open && end < t1 && static_cast<double>(end - last_end) < px) {
                block.end = std::max(block.end, end);
                ++block.count;
            } else {
                Call call{};
                if (!read_call(lane.id(), call)) return false;
                if (call.start >= t1) break;
                if (static_cast<double>(call.duration) >= px) {
                    if (open) found.blocks.push_back(block);
                    open = false;
                    found.calls.push_back(call);
                    last_end = end;
                    have = lane.next();
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
            have = lane.advance(boundary - 1);
        }
        if (!lane.ok()) {
            if (lane.damaged()) damage_ = "a block of call_lanes is damaged";
            return false;
        }
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

    std::string error() const { return damage_.empty() ? s_.errmsg(db_) : damage_; }

private:
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
        auto optional = [&](int column) {
            return s_.column_type(st, column) == SQLITE_NULL ? -1 : s_.column_int64(st, column);
        };
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
    sqlite::Statement call_, event_;
    std::vector<long long> part_indexes_;
    std::vector<PartLane> parts_;
    std::string damage_;
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
bool walk_rows(sqlite3* db, const Query& query, const Share& share, KeptEvents* events, bool with_events, Window& out,
               std::string& error) {
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
