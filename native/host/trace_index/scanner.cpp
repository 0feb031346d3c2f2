#include "host/trace_index/scanner.hpp"

#include "host/trace_index/byte_hash.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace nefa::trace_index {

namespace {

// A record bigger than this while still incomplete is damage, not a
// record: without a bound, a damaged length would make the scanner keep
// the rest of the document in memory.
constexpr std::size_t max_incomplete = std::size_t{256} << 20;

std::uint64_t hash_text(std::string_view text) { return hash_bytes(text.data(), text.size()); }

// Hashed only where a resumption is looked for: a return's, and a call's
// that may resume.
std::uint64_t locals_hash(const ScanRecord& record) { return record.locals.empty() ? 0 : hash_text(record.locals); }

// "file:line" into the file and the line (-1 when there is none).
void split_path(std::string_view path, std::string_view& file, std::int64_t& line) {
    file = path.empty() ? std::string_view("?") : path;
    line = -1;
    const std::size_t colon = path.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= path.size() || path.size() - colon > 19) return;
    std::int64_t value = 0;
    for (std::size_t i = colon + 1; i < path.size(); ++i) {
        const char c = path[i];
        if (c < '0' || c > '9') return;
        value = value * 10 + (c - '0');
    }
    file = path.substr(0, colon);
    line = value;
}

}  // namespace

std::uint32_t Interner::intern(std::string_view text) {
    if (slots_.empty()) grow();
    const std::uint64_t hash = hash_text(text);
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = static_cast<std::size_t>(hash) & mask;
    for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
        const std::uint32_t id = slots_[slot] - 1;
        if (hashes_[id] == hash && texts_[id] == text) return id;
    }
    const std::string& kept = storage_.emplace_back(text);
    const auto id = static_cast<std::uint32_t>(texts_.size());
    texts_.push_back(kept);
    hashes_.push_back(hash);
    slots_[slot] = id + 1;
    if (texts_.size() * 2 > slots_.size()) grow();
    return id;
}

void Interner::grow() {
    slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t id = 0; id < texts_.size(); ++id) {
        std::size_t slot = static_cast<std::size_t>(hashes_[id]) & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = id + 1;
    }
}

std::optional<Scanner::RecentReturn> Scanner::RecentReturns::push(RecentReturn recent) {
    std::optional<RecentReturn> out;
    if (count == kept) {
        out = returns[0];
        std::copy(returns + 1, returns + kept, returns);
        --count;
    }
    returns[count++] = recent;
    return out;
}

bool Scanner::RecentReturns::take(std::int64_t line, std::uint64_t locals_hash) {
    for (std::size_t i = 0; i < count; ++i) {
        if (returns[i].line == line && returns[i].locals_hash == locals_hash) {
            std::copy(returns + i + 1, returns + count, returns + i);
            --count;
            return true;
        }
    }
    return false;
}

std::uint32_t Scanner::code_index(std::uint32_t name, std::uint32_t path) {
    if (name >= code_by_name_.size()) code_by_name_.resize(name + 1, no_id);
    std::uint32_t& first = code_by_name_[name];
    if (first != no_id && codes_[first].stats.path == path) return first;
    auto make = [&] {
        codes_.push_back(CodeState{FunctionStats{name, path}});
        return static_cast<std::uint32_t>(codes_.size() - 1);
    };
    if (first == no_id) return first = make();
    const auto [found, inserted] = other_codes_.try_emplace((std::uint64_t{name} << 32) | path, 0);
    if (inserted) found->second = make();
    return found->second;
}

bool Scanner::FrameIdKey::operator==(const FrameIdKey& other) const {
    if (length != other.length || hash != other.hash) return false;
    return length == 0xff || std::memcmp(text, other.text, length) == 0;
}

void Scanner::feed(const std::uint8_t* data, std::size_t size) {
    if (finished) throw Corrupt{consumed_, "more bytes after the document was finished"};
    // An item the last piece cut is completed with as few of these bytes as
    // it takes (twice as many each time it still is not), so that the rest
    // of the piece is parsed where it lies: copying every piece behind its
    // tail was a copy of the whole document.
    std::size_t step = 4096;
    while (!tail_.empty() && size > 0) {
        const std::size_t kept = tail_.size();
        const std::size_t more = std::min(size, std::max(step, kept));
        tail_.append(reinterpret_cast<const char*>(data), more);
        Cursor cursor(reinterpret_cast<const std::uint8_t*>(tail_.data()), tail_.size(), consumed_);
        parse(cursor);
        const std::size_t used = cursor.position();
        consumed_ += used;
        if (used >= kept) {
            tail_.clear();
            data += used - kept;
            size -= used - kept;
            break;
        }
        tail_.erase(0, used);
        data += more;
        size -= more;
        step *= 2;
        if (tail_.size() > max_incomplete) throw Corrupt{consumed_, "an item longer than 256 MiB that never ends"};
    }
    if (tail_.empty()) {
        Cursor cursor(data, size, consumed_);
        parse(cursor);
        const std::size_t used = cursor.position();
        tail_.assign(reinterpret_cast<const char*>(data) + used, size - used);
        consumed_ += used;
    }
    if (tail_.size() > max_incomplete) throw Corrupt{consumed_, "an item longer than 256 MiB that never ends"};
}

void Scanner::parse(Cursor& cursor) {
    for (;;) {
        const std::size_t start = cursor.position();
        try {
            step(cursor);
        } catch (const Incomplete&) {
            cursor.rewind(start);
            return;
        }
    }
}

void Scanner::step(Cursor& cursor) {
    switch (state_) {
        case State::top_header: {
            const std::int64_t n = cursor.map_length();
            if (n < 0) cursor.corrupt("a trace document is a map, and this is not one");
            top_left_ = static_cast<std::uint64_t>(n);
            state_ = n ? State::top_key : State::done;
            return;
        }
        case State::top_key: {
            std::string_view key;
            if (!cursor.str(key)) {
                cursor.skip(nullptr);
                pending_key_.clear();
                state_ = State::top_value;
            } else if (key == "frames") {
                state_ = State::frames_header;
            } else if (key == "frames_of_interest") {
                in_frames_ = false;
                default_thread_.reset();
                state_ = State::records_header;
            } else {
                pending_key_.assign(key);
                state_ = State::top_value;
            }
            return;
        }
        case State::top_value: {
            const std::size_t start = cursor.position();
            cursor.skip(nullptr);
            if (!pending_key_.empty()) {
                fields.emplace_back(pending_key_, std::string(reinterpret_cast<const char*>(cursor.at(start)),
                                                              cursor.position() - start));
            }
            break;  // the entry is done
        }
        case State::frames_header: {
            const std::int64_t n = cursor.map_length();
            if (n < 0) cursor.corrupt("\"frames\" is not a map of threads");
            in_frames_ = true;
            threads_left_ = static_cast<std::uint64_t>(n);
            if (n) {
                state_ = State::frames_key;
                return;
            }
            break;
        }
        case State::frames_key: {
            std::uint64_t u = 0;
            std::int64_t i = 0;
            const int kind = cursor.integer(u, i);
            if (kind == 0) cursor.skip(nullptr);
            default_thread_ = kind == 1 ? std::optional<std::uint64_t>(u) : std::nullopt;
            state_ = State::records_header;
            return;
        }
        case State::records_header: {
            const std::int64_t n = cursor.array_length();
            if (n < 0) cursor.corrupt("the records of a thread are not an array");
            records_left_ = static_cast<std::uint64_t>(n);
            if (n) {
                state_ = State::record;
                return;
            }
            if (in_frames_ && --threads_left_ > 0) {
                state_ = State::frames_key;
                return;
            }
            break;
        }
        case State::record: {
            record(cursor);
            if (--records_left_ > 0) return;
            if (in_frames_ && --threads_left_ > 0) {
                state_ = State::frames_key;
                return;
            }
            break;
        }
        case State::done:
            if (cursor.left() > 0) cursor.corrupt("bytes after the end of the document");
            throw Incomplete{};
    }
    // One top-level entry is complete.
    in_frames_ = false;
    state_ = --top_left_ > 0 ? State::top_key : State::done;
}

void Scanner::record(Cursor& cursor) {
    Record r;
    const std::size_t start = cursor.position();
    r.offset = cursor.offset();
    const std::int64_t entries = cursor.map_length();
    if (entries < 0) {
        // Not a record: readers skip it.
        cursor.skip(&value_forms_seen);
        return;
    }
    for (std::int64_t e = 0; e < entries; ++e) {
        std::string_view key;
        if (!cursor.str(key)) {
            cursor.skip(nullptr);
            cursor.skip(&value_forms_seen);
            continue;
        }
        std::string_view* text = nullptr;
        switch (key.size()) {
            case 3:
                if (key == "arg") {
                    const std::size_t value_start = cursor.position();
                    cursor.skip(&value_forms_seen);
                    r.arg = std::string_view(reinterpret_cast<const char*>(cursor.at(value_start)),
                                             cursor.position() - value_start);
                    continue;
                }
                break;
            case 4:
                if (key == "path") text = &r.path;
                else if (key == "type") text = &r.type, r.has_type = true;
                break;
            case 5:
                if (key == "event") text = &r.event;
                break;
            case 6:
                if (key == "thread") text = &r.thread;
                else if (key == "locals") {
                    const std::size_t value_start = cursor.position();
                    r.locals_size = cursor.map_length();
                    cursor.rewind(value_start);
                    cursor.skip(&value_forms_seen);
                    r.locals = std::string_view(reinterpret_cast<const char*>(cursor.at(value_start)),
                                                cursor.position() - value_start);
                    continue;
                }
                break;
            case 7:
                if (key == "co_name") text = &r.co_name;
                else if (key == "subtype") text = &r.subtype, r.has_subtype = true;
                break;
            case 8:
                if (key == "qualname") text = &r.qualname;
                else if (key == "frame_id") text = &r.frame_id, r.has_frame_id = true;
                break;
            case 9:
                if (key == "timestamp") {
                    double value;
                    if (cursor.number(value)) {
                        if (std::isfinite(value)) {
                            r.timestamp = value;
                        } else if (strict_time_) {
                            throw Corrupt{r.offset,
                                          "a record has the timestamp " + std::string(std::isnan(value) ? "nan"
                                                                                      : value > 0       ? "inf"
                                                                                                        : "-inf")};
                        }
                    } else {
                        cursor.skip(&value_forms_seen);
                    }
                    continue;
                }
                break;
            case 16:
                if (key == "thread_native_id") {
                    std::uint64_t u = 0;
                    std::int64_t i = 0;
                    const int kind = cursor.integer(u, i);
                    if (kind == 1) r.thread_id = u;
                    else if (kind == 0) cursor.skip(&value_forms_seen);
                    continue;
                }
                break;
            default: break;
        }
        if (text != nullptr) {
            if (!cursor.str(*text)) {
                cursor.skip(&value_forms_seen);
                if (text == &r.type) r.has_type = false;
                if (text == &r.subtype) r.has_subtype = false;
                if (text == &r.frame_id) r.has_frame_id = false;
            }
        } else {
            cursor.skip(&value_forms_seen);
        }
    }
    const std::size_t length = cursor.position() - start;
    if (length > 0xffffffffu) throw Corrupt{r.offset, "a record longer than 4 GiB"};
    r.length = static_cast<std::uint32_t>(length);
    r.bytes = cursor.at(start);
    add(r);
}

Scanner::ThreadState& Scanner::thread_for(std::uint64_t native_id) {
    auto [found, inserted] = threads_.try_emplace(native_id);
    if (inserted) {
        found->second.summary.native_id = native_id;
        found->second.summary.name = "thread " + std::to_string(native_id);
        thread_order_.push_back(native_id);
    }
    return found->second;
}

std::int64_t Scanner::nanoseconds(double timestamp) const {
    const double ns = std::round((timestamp - time_base_.value_or(0.0)) * 1e9);
    constexpr double limit = 9.2e18;
    return static_cast<std::int64_t>(std::clamp(ns, -limit, limit));
}

void Scanner::add(const Record& record) {
    ThreadState& thread = thread_for(record.thread_id ? *record.thread_id : default_thread_.value_or(0));
    ++record_count;
    ++thread.summary.record_count;
    if (!thread.named && !record.thread.empty()) {
        thread.summary.name.assign(record.thread);
        thread.named = true;
    }
    // Wall-clock stamps may step back a little: never let them, per thread.
    double timestamp = record.timestamp ? *record.timestamp : (thread.has_time ? thread.last : 0.0);
    if (thread.has_time && timestamp < thread.last) timestamp = thread.last;
    if (!time_base_) time_base_ = timestamp;
    if (!thread.has_time) {
        thread.first = timestamp;
        thread.has_time = true;
    }
    thread.last = timestamp;

    if (record.has_type && record.type != "frame") {
        event(thread, record, timestamp);
    } else if (record.event == "call") {
        call(thread, record, timestamp);
    } else if (record.event == "return") {
        ret(thread, record, timestamp);
    }
}

namespace {

std::string_view shown_name(std::string_view qualname, std::string_view co_name) {
    if (!qualname.empty()) return qualname;
    if (!co_name.empty()) return co_name;
    return "?";
}

}  // namespace

void Scanner::call(ThreadState& thread, const Record& record, double timestamp) {
    OpenCall open{};
    Row& row = open.row;
    row.id = call_count++;
    row.thread = thread.summary.native_id;
    row.parent = thread.stack.empty() ? -1 : thread.stack.back().row.id;
    row.depth = static_cast<std::uint32_t>(thread.stack.size());
    std::string_view file;
    split_path(record.path, file, row.line);
    row.name = names.intern(shown_name(record.qualname, record.co_name));
    row.path = paths.intern(file);
    row.kind = -1;
    row.call_offset = static_cast<std::int64_t>(record.offset);
    row.call_length = record.length;
    row.return_offset = -1;
    row.start_ns = nanoseconds(timestamp);
    open.start = timestamp;
    open.code = code_index(row.name, row.path);
    open.co_name_hash = hash_text(record.co_name);
    if (record.has_frame_id) {
        open.frame_id = frame_id_key(record.frame_id);
    }
    open.here = &thread.codes[open.code];
    row.resumed = resumed(record, open.code, row.line, *open.here);
    ++open.here->active;
    ++thread.summary.call_count;
    thread.stack.push_back(open);
    if (observer) observer->opened(record, row, timestamp);
}

// Whether this call resumes a suspended generator or coroutine. No field
// says so, and every entry gets a fresh frame id, so it is read from what
// a resumption alone looks like:
// * a generator expression enters with its iterator as its only local;
//   once it has yielded, its loop variables are bound too;
// * other code enters first at the line its definition starts (the lowest
//   line its calls show) and resumes at the line it suspended at, with the
//   locals it suspended with: a return of the same code left off at that
//   very line with those very locals: among the code's last few returns on
//   this thread, or those pushed out of them, or, once the code has been
//   seen resuming, among its returns on any thread.
// Comprehensions, lambdas and module bodies never resume.
Scanner::FrameIdKey Scanner::frame_id_key(std::string_view frame_id) {
    FrameIdKey key{};
    key.hash = hash_text(frame_id);
    if (frame_id.size() <= sizeof key.text) {
        key.length = static_cast<std::uint8_t>(frame_id.size());
        std::memcpy(key.text, frame_id.data(), frame_id.size());
    } else {
        key.length = 0xff;
    }
    return key;
}

bool Scanner::resumed(const Record& record, std::uint32_t code, std::int64_t line, ThreadCode& here) {
    if (record.co_name == "<genexpr>") return record.locals_size > 1;
    if (!record.co_name.empty() && record.co_name.front() == '<') return false;
    if (line < 0) return false;
    CodeState& state = codes_[code];
    if (!state.has_first_line || line <= state.first_line) {
        state.first_line = line;
        state.has_first_line = true;
        return false;
    }
    const std::uint64_t hash = locals_hash(record);
    if (here.recent.take(line, hash)) {
        state.resumes = true;
        return true;
    }
    const std::uint64_t key = Suspensions::key(code, line, hash);
    if (state.resumes && suspended_.take(key)) return true;
    if (pushed_out_.take(key)) {
        state.resumes = true;
        return true;
    }
    return false;
}

void Scanner::ret(ThreadState& thread, const Record& record, double timestamp) {
    std::optional<std::size_t> target;
    if (record.has_frame_id) {
        const FrameIdKey key = frame_id_key(record.frame_id);
        for (std::size_t i = thread.stack.size(); i-- > 0;) {
            if (thread.stack[i].frame_id && *thread.stack[i].frame_id == key) {
                target = i;
                break;
            }
        }
    } else if (!thread.stack.empty() && thread.stack.back().co_name_hash == hash_text(record.co_name)) {
        target = thread.stack.size() - 1;
    }

    std::string_view file;
    std::int64_t line;
    split_path(record.path, file, line);
    const std::uint32_t name = names.intern(shown_name(record.qualname, record.co_name));
    const std::uint32_t path = paths.intern(file);
    const std::uint32_t code = code_index(name, path);
    ThreadCode& here = thread.codes[code];
    // Where it left off, for a resumption to find (`resumed`, which never
    // looks for "<...>" codes: those resume by their locals alone or not).
    if (record.co_name.empty() || record.co_name.front() != '<') {
        const std::uint64_t hash = locals_hash(record);
        if (codes_[code].resumes) {
            suspended_.put(Suspensions::key(code, line, hash));
        } else if (const auto out = here.recent.push({line, hash})) {
            pushed_out_.put(Suspensions::key(code, out->line, out->locals_hash));
        }
    }

    if (target) {
        // Calls above the one returning never reported their return.
        while (thread.stack.size() > *target + 1) {
            close(thread, thread.stack.back(), timestamp, 2, nullptr, record.offset);
        }
        OpenCall& open = thread.stack.back();
        open.row.return_offset = static_cast<std::int64_t>(record.offset);
        open.row.return_length = record.length;
        close(thread, open, timestamp, 0, &record, record.offset);
        return;
    }
    // A return whose call was not recorded: a point in its caller's time,
    // or, at the top, a call running since the thread's first record.
    Row row{};
    row.id = call_count++;
    row.thread = thread.summary.native_id;
    row.parent = thread.stack.empty() ? -1 : thread.stack.back().row.id;
    row.depth = static_cast<std::uint32_t>(thread.stack.size());
    row.name = name;
    row.path = path;
    row.line = line;
    row.kind = -1;
    row.flags = 1;
    row.call_offset = -1;
    row.return_offset = static_cast<std::int64_t>(record.offset);
    row.return_length = record.length;
    row.start_ns = nanoseconds(thread.stack.empty() ? thread.first : timestamp);
    row.duration_ns = std::max<std::int64_t>(0, nanoseconds(timestamp) - row.start_ns);
    row.self_ns = row.duration_ns;
    if (!thread.stack.empty()) thread.stack.back().child_ns += row.duration_ns;
    FunctionStats& stats = codes_[code].stats;
    ++stats.calls;
    stats.self_ns += row.self_ns;
    if (here.active == 0) stats.total_ns += row.duration_ns;
    ++thread.summary.call_count;
    if (observer) observer->unmatched(record, row, thread.stack.empty() ? thread.first : timestamp, timestamp);
    keep(row);
}

void Scanner::keep(const Row& row) {
    if (keep_rows) rows.push_back(row);
}

void Scanner::close(ThreadState& thread, OpenCall& open, double timestamp, std::uint8_t flags, const Record* by,
                    std::uint64_t at) {
    Row row = open.row;
    const std::int64_t child_ns = open.child_ns;
    const std::uint32_t code = open.code;
    ThreadCode& here = *open.here;
    const double start = open.start;
    thread.stack.pop_back();  // `open` is gone from here on
    row.duration_ns = std::max<std::int64_t>(0, nanoseconds(std::max(timestamp, start)) - row.start_ns);
    row.self_ns = std::max<std::int64_t>(0, row.duration_ns - child_ns);
    row.flags |= flags;
    if (!thread.stack.empty()) thread.stack.back().child_ns += row.duration_ns;
    FunctionStats& stats = codes_[code].stats;
    ++stats.calls;
    stats.self_ns += row.self_ns;
    // Recursion: only the outermost open call of a code adds to its total.
    std::uint32_t& active = here.active;
    if (active > 0) --active;
    if (active == 0) stats.total_ns += row.duration_ns;
    if (observer) observer->closed(row, start, std::max(timestamp, start), by, at);
    keep(row);
}

void Scanner::event(ThreadState& thread, const Record& record, double timestamp) {
    Row row{};
    row.id = call_count++;
    row.thread = thread.summary.native_id;
    row.parent = thread.stack.empty() ? -1 : thread.stack.back().row.id;
    row.depth = static_cast<std::uint32_t>(thread.stack.size());
    std::string label(record.type);
    if (record.has_subtype && !record.subtype.empty()) {
        label += ':';
        label += record.subtype;
    }
    row.name = names.intern(label);
    row.path = no_id;
    row.line = -1;
    row.kind = static_cast<std::int32_t>(kinds.intern(record.type));
    row.call_offset = static_cast<std::int64_t>(record.offset);
    row.call_length = record.length;
    row.return_offset = -1;
    row.start_ns = nanoseconds(timestamp);
    if (observer) observer->event(record, row, timestamp);
    keep(row);
}

void Scanner::finish() {
    if (finished) return;
    if (state_ != State::done || !tail_.empty()) {
        throw Corrupt{consumed_ + tail_.size(),
                      state_ == State::done ? "bytes after the end of the document" : "the document is truncated"};
    }
    // Calls still open (recording cut, the program ended inside them) end
    // at the last time seen on their thread.
    for (const std::uint64_t id : thread_order_) {
        ThreadState& thread = threads_.at(id);
        while (!thread.stack.empty()) close(thread, thread.stack.back(), thread.last, 2, nullptr, consumed_);
    }
    finished = true;
}

std::vector<ThreadSummary> Scanner::thread_summaries() const {
    std::vector<ThreadSummary> out;
    out.reserve(thread_order_.size());
    for (const std::uint64_t id : thread_order_) {
        const ThreadState& thread = threads_.at(id);
        ThreadSummary summary = thread.summary;
        summary.has_time = thread.has_time;
        summary.start_ns = nanoseconds(thread.first);
        summary.first_timestamp = thread.first;
        summary.end_ns = nanoseconds(thread.last);
        summary.last_timestamp = thread.last;
        out.push_back(std::move(summary));
    }
    return out;
}

std::vector<FunctionStats> Scanner::function_stats() const {
    std::vector<FunctionStats> out;
    for (const CodeState& code : codes_) {
        if (code.stats.calls > 0) out.push_back(code.stats);  // a return's code may have made none
    }
    return out;
}

}  // namespace nefa::trace_index
