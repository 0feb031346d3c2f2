// The call index of one trace document, built in one pass over its bytes,
// fed piece by piece, without decoding the recorded values.
//
// Each "call" record is matched to its "return" on the same thread through
// the stack of open calls (the frame id is the check); each plugin record
// becomes a row of its own. A row is complete when its call closes, and
// waits in `rows` until the caller takes it, so memory holds the open calls
// and one batch, not the trace. Plain C++: no Python object, no interpreter
// lock needed.
#pragma once

#include "host/trace_index/cursor.hpp"
#include "host/trace_index/suspensions.hpp"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nefa::trace_index {

constexpr std::uint32_t no_id = 0xffffffffu;

struct Row {
    std::int64_t id;
    std::uint64_t thread;
    std::int64_t parent;  // -1: none
    std::uint32_t depth;
    std::int64_t start_ns;
    std::int64_t duration_ns;
    std::int64_t self_ns;
    std::uint32_t name;  // local name id
    std::uint32_t path;  // local path id, or no_id
    std::int64_t line;   // -1: none
    std::int32_t kind;   // -1: a frame; else index into kinds
    bool resumed;
    std::uint8_t flags;        // 1: call not recorded, 2: return not recorded
    std::int64_t call_offset;  // -1: none
    std::uint32_t call_length;
    std::int64_t return_offset;  // -1: none
    std::uint32_t return_length;
};

struct ThreadSummary {
    std::uint64_t native_id;
    std::string name;
    std::uint64_t record_count = 0;
    std::uint64_t call_count = 0;
    std::int64_t start_ns = 0;
    std::int64_t end_ns = 0;
    double first_timestamp = 0;
    double last_timestamp = 0;
    bool has_time = false;
};

struct FunctionStats {
    std::uint32_t name;
    std::uint32_t path;
    std::uint64_t calls = 0;
    std::int64_t total_ns = 0;
    std::int64_t self_ns = 0;
};

// Interned texts: ids are given in first-seen order. Four texts a call are
// looked up: an open-addressed table of ids, with each text's hash kept.
class Interner {
public:
    std::uint32_t intern(std::string_view text);
    const std::vector<std::string_view>& texts() const { return texts_; }

private:
    void grow();

    std::deque<std::string> storage_;  // never moves what it holds
    std::vector<std::string_view> texts_;
    std::vector<std::uint64_t> hashes_;  // per id
    std::vector<std::uint32_t> slots_;   // id + 1, 0 when free; a power of two long
};

// One record as the scanner read it: views into the bytes being parsed,
// valid only during the observer call that is given it.
struct ScanRecord {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    const std::uint8_t* bytes = nullptr;  // the whole record
    std::string_view path, co_name, qualname, event, frame_id, thread, type, subtype;
    bool has_frame_id = false;
    bool has_type = false;
    bool has_subtype = false;
    std::optional<std::uint64_t> thread_id;
    std::optional<double> timestamp;
    std::int64_t locals_size = -1;  // entries when "locals" is a map
    std::string_view locals, arg;   // encoded values; empty when the record has none
};

// Told of each row as the scanner makes it, in document order, for readers
// that walk the tree while it is read (the exporter). Rows still go to
// `rows` unless the observer asks otherwise.
class ScanObserver {
public:
    virtual ~ScanObserver() = default;
    virtual void opened(const ScanRecord& call, const Row& row, double start) = 0;
    // `by`: the return that closed it; null when an outer return or the end
    // of the document did. `at`: the document offset of what closed it.
    virtual void closed(const Row& row, double start, double end, const ScanRecord* by, std::uint64_t at) = 0;
    virtual void unmatched(const ScanRecord& ret, const Row& row, double start, double end) = 0;
    virtual void event(const ScanRecord& record, const Row& row, double timestamp) = 0;
};

class Scanner {
public:
    // strict_time: a timestamp that is not finite is damage; otherwise the
    // record takes its thread's last time.
    Scanner(std::optional<double> time_base, bool strict_time) : time_base_(time_base), strict_time_(strict_time) {}

    // Parses what it can of data (the document's next bytes); keeps an
    // incomplete tail for the next call. Throws Corrupt.
    void feed(const std::uint8_t* data, std::size_t size);
    // The document must be complete: closes the calls still open. Throws Corrupt.
    void finish();

    std::vector<Row> rows;  // complete rows not taken yet
    Interner names;
    Interner paths;
    Interner kinds;
    // Top-level entries other than the records: key text and encoded value.
    std::vector<std::pair<std::string, std::string>> fields;

    std::uint64_t record_count = 0;
    std::int64_t call_count = 0;  // rows made
    bool value_forms_seen = false;
    bool finished = false;
    std::optional<double> time_base() const { return time_base_; }
    // Not owned; with keep_rows false, rows are only told to it.
    ScanObserver* observer = nullptr;
    bool keep_rows = true;
    // Document bytes parsed so far (the incomplete tail left out).
    std::uint64_t consumed() const { return consumed_; }

    std::vector<ThreadSummary> thread_summaries() const;
    std::vector<FunctionStats> function_stats() const;

private:
    struct FrameIdKey {
        char text[40];
        std::uint8_t length;  // 0xff: longer than text, compared by hash
        std::uint64_t hash;
        bool operator==(const FrameIdKey& other) const;
    };
    static FrameIdKey frame_id_key(std::string_view frame_id);
    struct ThreadCode;
    struct OpenCall {
        Row row;
        std::optional<FrameIdKey> frame_id;
        std::uint64_t co_name_hash;
        std::uint32_t code;  // index into codes_
        ThreadCode* here;    // the code on the call's thread (map nodes never move)
        std::int64_t child_ns = 0;
        double start;
    };
    // A code is a (name, path) pair of local ids; its figures are kept by
    // index, found through its name: a name seldom has a second path.
    struct CodeState {
        FunctionStats stats;
        std::int64_t first_line = 0;
        bool has_first_line = false;
        bool resumes = false;  // seen resuming: its suspensions go to `suspended_`
    };
    struct RecentReturn {
        std::int64_t line;
        std::uint64_t locals_hash;
    };
    // Per code and thread, where the last few returns left off, oldest first.
    struct RecentReturns {
        static constexpr std::size_t kept = 8;
        RecentReturn returns[kept];
        std::size_t count = 0;
        // The return pushed out to make room, if any.
        std::optional<RecentReturn> push(RecentReturn recent);
        bool take(std::int64_t line, std::uint64_t locals_hash);
    };
    struct ThreadCode {
        std::uint32_t active = 0;  // open calls
        RecentReturns recent;
    };
    struct ThreadState {
        ThreadSummary summary;
        bool named = false;
        double first = 0;
        double last = 0;
        bool has_time = false;
        std::vector<OpenCall> stack;
        // By code index, only the codes seen on this thread: a trace of many
        // threads and many codes would otherwise hold both's product.
        std::unordered_map<std::uint32_t, ThreadCode> codes;
    };
    using Record = ScanRecord;
    void keep(const Row& row);

    enum class State { top_header, top_key, top_value, frames_header, frames_key, records_header, record, done };

    void parse(Cursor& cursor);
    void step(Cursor& cursor);
    void record(Cursor& cursor);
    void add(const Record& record);
    void call(ThreadState& thread, const Record& record, double timestamp);
    void ret(ThreadState& thread, const Record& record, double timestamp);
    void event(ThreadState& thread, const Record& record, double timestamp);
    void close(ThreadState& thread, OpenCall& open, double timestamp, std::uint8_t flags, const Record* by,
               std::uint64_t at);
    std::int64_t nanoseconds(double timestamp) const;
    ThreadState& thread_for(std::uint64_t native_id);
    bool resumed(const Record& record, std::uint32_t code, std::int64_t line, ThreadCode& here);
    std::uint32_t code_index(std::uint32_t name, std::uint32_t path);

    std::optional<double> time_base_;
    bool strict_time_;
    State state_ = State::top_header;
    std::uint64_t top_left_ = 0;
    std::uint64_t threads_left_ = 0;
    std::uint64_t records_left_ = 0;
    bool in_frames_ = false;
    std::optional<std::uint64_t> default_thread_;
    std::string pending_key_;
    std::string tail_;
    std::uint64_t consumed_ = 0;  // document offset of tail_'s first byte
    std::unordered_map<std::uint64_t, ThreadState> threads_;
    std::vector<std::uint64_t> thread_order_;
    std::vector<CodeState> codes_;
    std::vector<std::uint32_t> code_by_name_;                       // by name id: its first code, or no_id
    std::unordered_map<std::uint64_t, std::uint32_t> other_codes_;  // by name << 32 | path: the rest
    // Returns of codes seen resuming, from every thread (a task may resume
    // on another): 2^16 sets of 4, 2 MiB.
    Suspensions suspended_{16};
    // Returns pushed out of a code's recent ones before it was seen
    // resuming: 2^12 sets of 4, 128 KiB.
    Suspensions pushed_out_{12};
};

}  // namespace nefa::trace_index
