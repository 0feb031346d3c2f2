// The streaming export of a stored trace: Chrome Trace Event JSON or a
// speedscope profile, written as the document is read, in two passes over
// each part, both driven by the call-index scanner.
//
// A frame's "B" event holds what its return gave, which comes later in the
// document. The survey (first pass) notes, for the few frames whose return
// lies more than `long_span` bytes past their call, how they ended; every
// other frame's event waits, with the events after it, until its return is
// read, which is at most `long_span` bytes on. So memory holds the open
// calls, those notes and the output of `long_span` bytes of document, not
// the trace. The survey also learns what must be written before the first
// event: the trace's start, each thread's name, and the calls running when
// a part begins (a return whose call was not recorded encloses all that
// came before it on its thread). Where the trace's call index can be
// had, Python fills the survey from it instead, and each part is read once.
//
// Threads are written one after the other, as the document interleaves
// them: the first thread straight to the output, each other one to a
// temporary file of its own, copied out at the end.
#pragma once

#include "host/trace_export/output.hpp"
#include "host/trace_index/scanner.hpp"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nefa::trace_export {

enum class Format { chrome, speedscope };

// How a frame ended, noted by the survey.
struct Ending {
    bool returned = false;
    bool has_values = false;  // its return record holds "arg" or "locals"
    std::string arg;          // the return value, encoded; empty: none
};

// A return at the top of a thread whose call was not recorded.
struct Enclosing {
    std::string name, path, file, frame_id;
    std::int64_t line = -1;
    bool has_values = false;
    std::string arg;
    double start = 0;
};

struct PartSurvey {
    std::unordered_map<std::int64_t, Ending> endings;                     // by row id: frames that end far on
    std::unordered_map<std::uint64_t, std::vector<Enclosing>> enclosing;  // per thread, in document order
    bool legacy = false;
};

class Survey final : public trace_index::ScanObserver {
public:
    explicit Survey(std::uint64_t long_span) : long_span_(long_span) {}

    void begin_part();
    trace_index::Scanner& scanner() { return *scanner_; }
    void end_part();
    std::vector<PartSurvey> parts;

    void opened(const trace_index::ScanRecord&, const trace_index::Row&, double) override {}
    void closed(const trace_index::Row& row, double start, double end, const trace_index::ScanRecord* by,
                std::uint64_t at) override;
    void unmatched(const trace_index::ScanRecord& ret, const trace_index::Row& row, double start, double end) override;
    void event(const trace_index::ScanRecord&, const trace_index::Row&, double) override {}

private:
    std::uint64_t long_span_;
    std::unique_ptr<trace_index::Scanner> scanner_;
};

struct ThreadPlan {
    std::uint64_t native_id;
    std::string label;    // speedscope's profile name
    double start_us = 0;  // speedscope's startValue and endValue, before events
    double end_us = 0;
};

class Writer final : public trace_index::ScanObserver {
public:
    Writer(Format format, const Survey& survey, int fd, double origin, std::vector<ThreadPlan> threads);

    void begin_part();
    trace_index::Scanner& scanner() { return *scanner_; }
    void end_part();
    void write(std::string_view text) { out_.write(text); }
    // Everything but what follows the events (Python writes that).
    void finish();
    void flush() { out_.flush(); }

    void opened(const trace_index::ScanRecord& call, const trace_index::Row& row, double start) override;
    void closed(const trace_index::Row& row, double start, double end, const trace_index::ScanRecord* by,
                std::uint64_t at) override;
    void unmatched(const trace_index::ScanRecord& ret, const trace_index::Row& row, double start, double end) override;
    void event(const trace_index::ScanRecord& record, const trace_index::Row& row, double timestamp) override;

private:
    struct Segment {
        std::string text;
        bool ready;
    };
    struct OpenFrame {
        std::int64_t id;
        std::int64_t hole;  // pending segment waiting for how it ends; -1: written whole
        bool has_values;
        bool resumed;
        std::uint32_t key;  // speedscope frame
    };
    struct ThreadOut {
        ThreadPlan plan;
        std::unique_ptr<Spill> spill;  // null: the first thread, written straight out
        std::deque<Segment> pending;
        std::int64_t pending_base = 0;
        std::vector<OpenFrame> stack;
        std::vector<std::uint32_t> enclosing_keys;  // speedscope, of this part's enclosing frames
        std::size_t enclosing_closed = 0;
        bool part_started = false;
        bool any_event = false;
        double first_at = 0, last_at = 0;
        // speedscope, spilled threads: their own frame numbers, renumbered at the end.
        std::unordered_map<std::string, std::uint32_t> local_keys;
        std::vector<std::string> local_frames;
        std::vector<std::string> local_key_texts;
        std::vector<std::uint32_t> local_to_global;
    };

    ThreadOut& thread(std::uint64_t native_id);
    void start_part(ThreadOut& thread);
    void emit(ThreadOut& thread, std::string_view text);
    std::int64_t hole(ThreadOut& thread);
    void fill(ThreadOut& thread, std::int64_t hole, std::string text);
    void drain(ThreadOut& thread);
    void begin_event(ThreadOut& thread, std::string_view name, std::string_view category, std::string_view phase,
                     double timestamp);
    void frame_head(ThreadOut& thread, std::string_view name, std::string_view path, std::string_view frame_id,
                    double start);
    void frame_tail(std::string& out, bool returned, bool has_values, std::string_view arg, bool resumed, bool called,
                    bool ended) const;
    void end_event(ThreadOut& thread, double end);
    std::uint32_t frame_key(ThreadOut& thread, std::string_view name, std::string_view file, std::int64_t line);
    void speedscope_event(ThreadOut& thread, bool open, std::uint32_t key, double at);
    void write_spilled_speedscope(ThreadOut& thread);

    Format format_;
    const Survey& survey_;
    Output out_;
    double origin_;
    std::vector<std::unique_ptr<ThreadOut>> threads_;
    std::unordered_map<std::uint64_t, ThreadOut*> by_id_;
    std::unique_ptr<trace_index::Scanner> scanner_;
    std::size_t part_ = 0;
    bool legacy_ = false;
    std::string text_;  // reused for each event
    // speedscope's shared frames
    std::unordered_map<std::string, std::uint32_t> keys_;
    std::vector<std::string> frames_;
};

}  // namespace nefa::trace_export
