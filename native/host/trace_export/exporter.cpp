#include "host/trace_export/exporter.hpp"

#include "host/trace_export/brief.hpp"
#include "host/trace_export/text.hpp"
#include "host/trace_index/cursor.hpp"

#include <algorithm>
#include <cstring>

namespace nefa::trace_export {

using trace_index::Row;
using trace_index::Scanner;
using trace_index::ScanRecord;

namespace {

// What the Python export passes to brief() for recorded values.
constexpr std::size_t value_width = 200;
constexpr std::string_view encoded_none = "\xc0";

bool has_values(const ScanRecord* record) {
    return record != nullptr && (!record->locals.empty() || !record->arg.empty());
}

std::string_view shown_path(std::string_view path) { return path.empty() ? std::string_view("?") : path; }

// A module body's locals are its globals, a comprehension's its iterator:
// only other code's locals on entry are arguments worth showing.
bool shows_arguments(std::string_view co_name) {
    return co_name.empty() || co_name.front() != '<' || co_name == "<lambda>";
}

// Record fields that are the record's own, not a plugin's data.
bool field_key(std::string_view key) {
    static constexpr std::string_view keys[] = {"path",     "co_name", "qualname",           "event",
                                                "frame_id", "thread",  "thread_native_id",   "timestamp",
                                                "type",     "subtype", "user_code_call_site"};
    for (const std::string_view field : keys) {
        if (key == field) return true;
    }
    return false;
}

}  // namespace

// ------------------------------------------------------------------ survey

void Survey::begin_part() {
    scanner_ = std::make_unique<Scanner>(std::nullopt, true);
    scanner_->observer = this;
    scanner_->keep_rows = false;
    parts.emplace_back();
}

void Survey::end_part() {
    scanner_->finish();
    parts.back().legacy = !scanner_->value_forms_seen;
}

void Survey::closed(const Row& row, double, double, const ScanRecord* by, std::uint64_t at) {
    if (at - static_cast<std::uint64_t>(row.call_offset) < long_span_) return;
    Ending& ending = parts.back().endings[row.id];
    ending.returned = by != nullptr;
    ending.has_values = has_values(by);
    if (by != nullptr) ending.arg.assign(by->arg);
}

void Survey::unmatched(const ScanRecord& ret, const Row& row, double start, double) {
    if (row.depth != 0) return;
    Enclosing& frame = parts.back().enclosing[row.thread].emplace_back();
    frame.name = scanner_->names.texts()[row.name];
    frame.path = shown_path(ret.path);
    frame.file = scanner_->paths.texts()[row.path];
    if (ret.has_frame_id) frame.frame_id = ret.frame_id;
    frame.has_values = has_values(&ret);
    frame.arg = ret.arg;
    frame.start = start;
}

// ------------------------------------------------------------------ writer

Writer::Writer(Format format, const Survey& survey, int fd, double origin, std::vector<ThreadPlan> threads)
    : format_(format), survey_(survey), out_(fd), origin_(origin) {
    for (std::size_t i = 0; i < threads.size(); ++i) {
        auto thread = std::make_unique<ThreadOut>();
        thread->plan = std::move(threads[i]);
        if (i > 0) thread->spill = std::make_unique<Spill>();
        by_id_[thread->plan.native_id] = thread.get();
        threads_.push_back(std::move(thread));
    }
}

void Writer::begin_part() {
    scanner_ = std::make_unique<Scanner>(std::nullopt, true);
    scanner_->observer = this;
    scanner_->keep_rows = false;
    legacy_ = part_ < survey_.parts.size() && survey_.parts[part_].legacy;
    if (part_ == 0 && format_ == Format::speedscope && !threads_.empty()) {
        text_ = "{\"type\":\"evented\",\"name\":";
        append_json_string(text_, threads_[0]->plan.label);
        text_.append(",\"unit\":\"microseconds\",\"events\":[");
        out_.write(text_);
    }
}

void Writer::end_part() {
    scanner_->finish();
    for (auto& thread : threads_) {
        drain(*thread);
        thread->part_started = false;
        thread->stack.clear();
        thread->enclosing_keys.clear();
        thread->enclosing_closed = 0;
    }
    ++part_;
}

Writer::ThreadOut& Writer::thread(std::uint64_t native_id) {
    const auto found = by_id_.find(native_id);
    if (found != by_id_.end()) return *found->second;
    // Not surveyed (it cannot be, with the same bytes): written last.
    auto thread = std::make_unique<ThreadOut>();
    thread->plan.native_id = native_id;
    thread->plan.label = "thread " + std::to_string(native_id) + " (" + std::to_string(native_id) + ")";
    if (!threads_.empty()) thread->spill = std::make_unique<Spill>();
    ThreadOut* kept = thread.get();
    by_id_[native_id] = kept;
    threads_.push_back(std::move(thread));
    return *kept;
}

void Writer::emit(ThreadOut& thread, std::string_view text) {
    if (!thread.pending.empty()) {
        if (thread.pending.back().ready) thread.pending.back().text.append(text);
        else thread.pending.push_back({std::string(text), true});
        return;
    }
    if (thread.spill) thread.spill->write(text);
    else out_.write(text);
}

std::int64_t Writer::hole(ThreadOut& thread) {
    thread.pending.push_back({std::string(), false});
    return thread.pending_base + static_cast<std::int64_t>(thread.pending.size()) - 1;
}

void Writer::fill(ThreadOut& thread, std::int64_t hole, std::string text) {
    Segment& segment = thread.pending[static_cast<std::size_t>(hole - thread.pending_base)];
    segment.text = std::move(text);
    segment.ready = true;
    drain(thread);
}

void Writer::drain(ThreadOut& thread) {
    while (!thread.pending.empty() && thread.pending.front().ready) {
        const std::string& text = thread.pending.front().text;
        if (thread.spill) thread.spill->write(text);
        else out_.write(text);
        thread.pending.pop_front();
        ++thread.pending_base;
    }
}

void Writer::begin_event(ThreadOut& thread, std::string_view name, std::string_view category, std::string_view phase,
                         double timestamp) {
    text_.assign(",{\"name\":");
    append_json_string(text_, name);
    text_.append(",\"cat\":\"");
    text_.append(category);
    text_.append("\",\"ph\":\"");
    text_.append(phase);
    text_.append(phase == "i" ? "\",\"s\":\"t\",\"ts\":" : "\",\"ts\":");
    append_float_repr(text_, micros(timestamp, origin_));
    text_.append(",\"pid\":1,\"tid\":");
    append_uint(text_, thread.plan.native_id);
    text_.append(",\"args\":{");
}

void Writer::frame_head(ThreadOut& thread, std::string_view name, std::string_view path, std::string_view frame_id,
                        double start) {
    begin_event(thread, name, "frame", "B", start);
    text_.append("\"path\":");
    append_json_string(text_, path);
    text_.append(",\"qualname\":");
    append_json_string(text_, name);
    if (!frame_id.empty()) {
        text_.append(",\"frame_id\":");
        append_json_string(text_, frame_id);
    }
}

void Writer::frame_tail(std::string& out, bool returned, bool values, std::string_view arg, bool resumed, bool called,
                        bool ended) const {
    if (values && returned) {
        out.append(",\"return\":");
        append_json_string(out, brief(arg.empty() ? encoded_none : arg, value_width, legacy_));
    }
    if (resumed || !called || ended) {
        out.append(",\"notes\":[");
        bool first = true;
        for (const auto& [flag, note] : {std::pair<bool, std::string_view>{resumed, "\"resumed\""},
                                         {!called, "\"call not recorded\""},
                                         {ended, "\"no return recorded\""}}) {
            if (!flag) continue;
            if (!first) out.push_back(',');
            out.append(note);
            first = false;
        }
        out.push_back(']');
    }
    out.append("}}");
}

void Writer::end_event(ThreadOut& thread, double end) {
    text_.assign(",{\"ph\":\"E\",\"ts\":");
    append_float_repr(text_, micros(end, origin_));
    text_.append(",\"pid\":1,\"tid\":");
    append_uint(text_, thread.plan.native_id);
    text_.push_back('}');
    emit(thread, text_);
}

std::uint32_t Writer::frame_key(ThreadOut& thread, std::string_view name, std::string_view file, std::int64_t line) {
    std::string key;
    key.reserve(name.size() + file.size() + 24);
    key.append(name);
    key.push_back('\0');
    key.append(file);
    key.push_back('\0');
    append_int(key, line);
    auto& keys = thread.spill ? thread.local_keys : keys_;
    auto& frames = thread.spill ? thread.local_frames : frames_;
    const auto [found, inserted] = keys.try_emplace(std::move(key), static_cast<std::uint32_t>(frames.size()));
    if (inserted) {
        std::string entry = "{\"name\":";
        append_json_string(entry, name);
        entry.append(",\"file\":");
        append_json_string(entry, file);
        if (line >= 0) {
            entry.append(",\"line\":");
            append_int(entry, line);
        }
        entry.push_back('}');
        frames.push_back(std::move(entry));
        if (thread.spill) thread.local_key_texts.push_back(found->first);
    }
    return found->second;
}

void Writer::speedscope_event(ThreadOut& thread, bool open, std::uint32_t key, double at) {
    const double us = micros(at, origin_);
    if (!thread.any_event) thread.first_at = us;
    thread.last_at = us;
    if (thread.spill) {
        char record[13];
        record[0] = open ? 'O' : 'C';
        std::memcpy(record + 1, &key, 4);
        std::memcpy(record + 5, &us, 8);
        thread.spill->write(std::string_view(record, sizeof record));
    } else {
        text_.assign(thread.any_event ? ",{\"type\":\"" : "{\"type\":\"");
        text_.push_back(open ? 'O' : 'C');
        text_.append("\",\"frame\":");
        append_uint(text_, key);
        text_.append(",\"at\":");
        append_float_repr(text_, us);
        text_.push_back('}');
        out_.write(text_);
    }
    thread.any_event = true;
}

void Writer::start_part(ThreadOut& thread) {
    if (thread.part_started) return;
    thread.part_started = true;
    if (part_ >= survey_.parts.size()) return;
    const auto found = survey_.parts[part_].enclosing.find(thread.plan.native_id);
    if (found == survey_.parts[part_].enclosing.end()) return;
    const std::vector<Enclosing>& enclosing = found->second;
    // The last such return encloses the ones before it: opened first.
    if (format_ == Format::speedscope) {
        thread.enclosing_keys.assign(enclosing.size(), 0);
        for (std::size_t i = enclosing.size(); i-- > 0;) {
            thread.enclosing_keys[i] = frame_key(thread, enclosing[i].name, enclosing[i].file, -1);
            speedscope_event(thread, true, thread.enclosing_keys[i], enclosing[i].start);
        }
        return;
    }
    for (std::size_t i = enclosing.size(); i-- > 0;) {
        const Enclosing& frame = enclosing[i];
        frame_head(thread, frame.name, frame.path, frame.frame_id, frame.start);
        frame_tail(text_, true, frame.has_values, frame.arg, false, false, false);
        emit(thread, text_);
    }
}

void Writer::opened(const ScanRecord& call, const Row& row, double start) {
    ThreadOut& t = thread(row.thread);
    start_part(t);
    const std::string_view name = scanner_->names.texts()[row.name];
    if (format_ == Format::speedscope) {
        const std::uint32_t key = frame_key(t, name, scanner_->paths.texts()[row.path], row.line);
        speedscope_event(t, true, key, start);
        t.stack.push_back({row.id, -1, false, false, key});
        return;
    }
    frame_head(t, name, shown_path(call.path), call.has_frame_id ? call.frame_id : std::string_view(), start);
    const bool call_values = !call.locals.empty();
    if (call_values && shows_arguments(call.co_name)) {
        const std::size_t before = text_.size();
        text_.append(",\"arguments\":{");
        bool first = true;
        const bool is_map =
            brief_items(call.locals, value_width, legacy_, [&](const std::string& key, const std::string& value) {
                if (!first) text_.push_back(',');
                first = false;
                append_json_string(text_, key);
                text_.push_back(':');
                append_json_string(text_, value);
            });
        if (is_map) text_.push_back('}');
        else text_.resize(before);
    }
    // A part without a survey (the index lost its row) has no far endings.
    const Ending* ending = nullptr;
    if (part_ < survey_.parts.size()) {
        const auto& endings = survey_.parts[part_].endings;
        if (const auto found = endings.find(row.id); found != endings.end()) ending = &found->second;
    }
    if (ending != nullptr) {
        frame_tail(text_, ending->returned, call_values || ending->has_values, ending->arg, row.resumed, true,
                   !ending->returned);
        emit(t, text_);
        t.stack.push_back({row.id, -1, call_values, row.resumed, 0});
        return;
    }
    emit(t, text_);
    t.stack.push_back({row.id, hole(t), call_values, row.resumed, 0});
}

void Writer::closed(const Row& row, double, double end, const ScanRecord* by, std::uint64_t) {
    ThreadOut& t = thread(row.thread);
    if (t.stack.empty() || t.stack.back().id != row.id) return;  // cannot happen: the scanner closes in order
    const OpenFrame frame = t.stack.back();
    t.stack.pop_back();
    if (format_ == Format::speedscope) {
        speedscope_event(t, false, frame.key, end);
        return;
    }
    if (frame.hole >= 0) {
        std::string tail;
        frame_tail(tail, by != nullptr, frame.has_values || has_values(by), by ? by->arg : std::string_view(),
                   frame.resumed, true, by == nullptr);
        fill(t, frame.hole, std::move(tail));
    }
    end_event(t, end);
}

void Writer::unmatched(const ScanRecord& ret, const Row& row, double start, double end) {
    ThreadOut& t = thread(row.thread);
    start_part(t);
    const bool enclosing = row.depth == 0;
    if (format_ == Format::speedscope) {
        if (enclosing) {
            if (t.enclosing_closed < t.enclosing_keys.size()) {
                speedscope_event(t, false, t.enclosing_keys[t.enclosing_closed++], end);
            }
            return;
        }
        const std::uint32_t key =
            frame_key(t, scanner_->names.texts()[row.name], scanner_->paths.texts()[row.path], -1);
        speedscope_event(t, true, key, start);
        speedscope_event(t, false, key, end);
        return;
    }
    if (!enclosing) {
        frame_head(t, scanner_->names.texts()[row.name], shown_path(ret.path),
                   ret.has_frame_id ? ret.frame_id : std::string_view(), start);
        frame_tail(text_, true, has_values(&ret), ret.arg, false, false, false);
        emit(t, text_);
    }
    end_event(t, end);
}

void Writer::event(const ScanRecord& record, const Row& row, double timestamp) {
    ThreadOut& t = thread(row.thread);
    start_part(t);
    if (format_ == Format::speedscope) return;
    begin_event(t, scanner_->names.texts()[row.name], "plugin", "i", timestamp);
    trace_index::Cursor cursor(record.bytes, record.length, 0);
    const std::int64_t entries = cursor.map_length();
    bool first = true;
    for (std::int64_t e = 0; e < entries; ++e) {
        std::string_view key;
        const bool named = cursor.str(key);
        if (!named) cursor.skip(nullptr);
        const std::size_t start = cursor.position();
        cursor.skip(nullptr);
        if (!named || field_key(key)) continue;
        if (!first) text_.push_back(',');
        first = false;
        append_json_string(text_, key);
        text_.push_back(':');
        const std::string_view value(reinterpret_cast<const char*>(cursor.at(start)), cursor.position() - start);
        append_json_string(text_, brief(value, value_width, legacy_));
    }
    text_.append("}}");
    emit(t, text_);
}

void Writer::write_spilled_speedscope(ThreadOut& thread) {
    thread.spill->rewind();
    thread.local_to_global.assign(thread.local_frames.size(), 0xffffffffu);
    constexpr std::size_t record_size = 13;
    std::string records(record_size * 4096, '\0');
    bool first = true;
    std::string text;
    for (;;) {
        const std::size_t got = thread.spill->read(records.data(), records.size());
        for (std::size_t at = 0; at + record_size <= got; at += record_size) {
            const char* record = records.data() + at;
            std::uint32_t local;
            double us;
            std::memcpy(&local, record + 1, 4);
            std::memcpy(&us, record + 5, 8);
            std::uint32_t& global = thread.local_to_global[local];
            if (global == 0xffffffffu) {
                // First use, in this thread's order after the threads before it.
                const auto& entry = thread.local_frames[local];
                const auto [found, inserted] =
                    keys_.try_emplace(thread.local_key_texts[local], static_cast<std::uint32_t>(frames_.size()));
                if (inserted) frames_.push_back(entry);
                global = found->second;
            }
            text.assign(first ? "{\"type\":\"" : ",{\"type\":\"");
            text.push_back(record[0]);
            text.append("\",\"frame\":");
            append_uint(text, global);
            text.append(",\"at\":");
            append_float_repr(text, us);
            text.push_back('}');
            out_.write(text);
            first = false;
        }
        if (got < records.size()) return;
    }
}

void Writer::finish() {
    for (auto& thread : threads_) drain(*thread);
    if (format_ == Format::chrome) {
        for (auto& thread : threads_) {
            if (thread->spill) out_.copy_from(*thread->spill);
        }
        return;
    }
    auto suffix = [&](const ThreadOut& thread) {
        double start = thread.plan.start_us, end = thread.plan.end_us;
        if (thread.any_event) {
            start = std::min(start, thread.first_at);
            end = std::max(end, thread.last_at);
        }
        text_.assign("],\"startValue\":");
        append_float_repr(text_, start);
        text_.append(",\"endValue\":");
        append_float_repr(text_, end);
        text_.push_back('}');
        out_.write(text_);
    };
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        ThreadOut& thread = *threads_[i];
        if (i > 0) {
            text_ = ",{\"type\":\"evented\",\"name\":";
            append_json_string(text_, thread.plan.label);
            text_.append(",\"unit\":\"microseconds\",\"events\":[");
            out_.write(text_);
            write_spilled_speedscope(thread);
        }
        suffix(thread);
    }
    out_.write("],\"shared\":{\"frames\":[");
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        if (i) out_.write(",");
        out_.write(frames_[i]);
    }
    out_.write("]}");
}

}  // namespace nefa::trace_export
