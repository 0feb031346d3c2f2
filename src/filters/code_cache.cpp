#include "filters/code_cache.hpp"

#include "common/compat.hpp"
#include "profiler/nefa_profiler.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

#include <array>
#include <optional>

namespace nefa {

struct CodeInfo {
    std::string_view filename;
    std::string_view name;
    // Only set when the interpreter's own UTF-8 cannot be had.
    std::optional<std::string> filename_replaced;
    std::optional<std::string> name_replaced;
    QualnameCache qualname;
    // The most recent profilers' decisions; a few profilers at most are ever
    // alive at once, so older ones are simply overwritten.
    static constexpr std::size_t kSlots = 4;
    std::array<CodeDecision, kSlots> slots{};
    std::size_t next_slot = 0;
    // Line + 1 per code unit (0: not looked up yet), made on first use.
    std::vector<std::int32_t> lines;
    // variables_name_builtins: -1 until decided.
    std::int8_t names_builtins = -1;
};

namespace {

void free_code_info(void* info) { delete static_cast<CodeInfo*>(info); }

// Requested once per process, under the interpreter lock; -1 until then
// (or when the interpreter has no slot left for us).
Py_ssize_t extra_index_value = -1;
bool extra_index_requested = false;
// Whether co_extra is read in place (see compat::existing_code_extra):
// checked each time a slot is set.
bool extra_read_in_place = true;

Py_ssize_t extra_index() {
    if (!extra_index_requested) {
        extra_index_requested = true;
        extra_index_value = compat::request_code_extra_index(free_code_info);
    }
    return extra_index_value;
}

std::string_view text_of(PyObject* str, std::optional<std::string>& replaced, const char* invariant) {
    if (str == nullptr || !PyUnicode_Check(str)) throw InternalError(invariant);
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        // The interpreter keeps this UTF-8 with the str, which the code object keeps.
        return {data, static_cast<std::size_t>(size)};
    }
    PyErr_Clear();
    replaced = utf8_lossy(str);
    return *replaced;
}

void fill_texts(CodeInfo& info, PyObject* code) {
    info.filename = text_of(compat::code_filename(code), info.filename_replaced, "`co_filename` is always a string");
    info.name = text_of(compat::code_name(code), info.name_replaced, "`co_name` is always a string");
}

CodeInfo* cached_info(PyObject* code) {
    const Py_ssize_t index = extra_index();
    if (index < 0) return nullptr;
    if (void* extra = compat::code_extra_by_api(code, index)) return static_cast<CodeInfo*>(extra);
    auto info = std::make_unique<CodeInfo>();
    fill_texts(*info, code);
    if (compat::code_set_extra(code, index, info.get()) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    // Should an interpreter ever lay co_extra out otherwise, the slot is
    // read through the interpreter's function from then on.
    if (compat::existing_code_extra(code, index) != info.get()) extra_read_in_place = false;
    return info.release();
}

CodeDecision decide(ProfilerState& profiler, std::string_view filename, std::string_view name) {
    CodeDecision slot;
    slot.serial = profiler.serial;
    slot.verdict = static_verdict(profiler, filename);
    slot.relative_path_start = filename.size() - path_relative_to(filename, profiler.working_directory).size();
    // The table's shape is fixed once the profiler is built, so a pointer
    // into it stays valid as long as the profiler (and its serial) lives.
    PluginTable& table = profiler.plugin_processors.value;
    if (!table.empty()) {
        auto found = table.find(name);
        // Only when some processor's path fragment occurs in this file: a
        // library function that merely shares a plugin's name ("run") stays
        // on the fast path.
        if (found != table.end()) {
            for (const PluginProcessor& processor : found->second) {
                if (processor.path_fragment.find_in(filename)) {
                    slot.processors = &found->second;
                    break;
                }
            }
        }
    }
    return slot;
}

}  // namespace

CodeView describe_code(PyObject* code, ProfilerState& profiler, CodeInfo* known, const CodeDecision* decided) {
    CodeView view;
    CodeInfo* info = known != nullptr ? known : cached_info(code);
    if (info == nullptr) {
        // No slot for us: decide afresh, keeping any replacement text alive
        // in per-thread scratch until the next event.
        thread_local CodeInfo scratch;
        scratch = CodeInfo{};
        fill_texts(scratch, code);
        const CodeDecision slot = decide(profiler, scratch.filename, scratch.name);
        view.filename = scratch.filename;
        view.relative_path = scratch.filename.substr(slot.relative_path_start);
        view.name = scratch.name;
        view.verdict = slot.verdict;
        view.processors = slot.processors;
        return view;
    }
    view.filename = info->filename;
    view.name = info->name;
    view.qualname = &info->qualname;
    view.info = info;
    if (decided == nullptr || known == nullptr) decided = cached_decision(info, profiler.serial);
    if (decided != nullptr) {
        view.relative_path = info->filename.substr(decided->relative_path_start);
        view.verdict = decided->verdict;
        view.processors = decided->processors;
        return view;
    }
    const CodeDecision slot = decide(profiler, info->filename, info->name);
    info->slots[info->next_slot] = slot;
    info->next_slot = (info->next_slot + 1) % CodeInfo::kSlots;
    view.relative_path = info->filename.substr(slot.relative_path_start);
    view.verdict = slot.verdict;
    view.processors = slot.processors;
    return view;
}

bool variables_name_builtins(PyObject* code, CodeInfo* info) {
    if (info != nullptr && info->names_builtins >= 0) return info->names_builtins != 0;
    bool found = false;
    // Every kind of variable: a frame's plain ones are among them.
    PyObject* const names = reinterpret_cast<PyCodeObject*>(code)->co_localsplusnames;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names) && !found; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        found = PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0;
    }
    if (info != nullptr) info->names_builtins = found ? 1 : 0;
    return found;
}

int cached_line_number(PyFrameObject* frame) {
    Ref code = compat::frame_code(frame);
    CodeInfo* info = nullptr;
    try {
        info = cached_info(code.get());
    } catch (const InternalError&) {
        info = nullptr;  // the names are reported where they are needed
    }
    return cached_line_number(frame, code.get(), info);
}

namespace {

// The line at instruction `lasti` (bytes), from the code's table of lines
// looked up so far; `look_up` asks the frame for one not known yet.
template <class LookUp>
int line_at(int lasti, PyObject* code, CodeInfo* info, LookUp&& look_up) {
    const std::size_t unit = lasti >= 0 ? static_cast<std::size_t>(lasti) / 2 : 0;
    const auto units = static_cast<std::size_t>(compat::code_units(code));
    if (info == nullptr || lasti < 0 || unit >= units) return look_up();
    if (info->lines.size() != units) info->lines.assign(units, 0);
    std::int32_t& slot = info->lines[unit];
    if (slot > 0) return slot - 1;
    const int line = look_up();
    if (line >= 0) slot = line + 1;
    return line;
}

}  // namespace

// A trace function may move a frame's line (a debugger's jump): ask the frame.
int cached_line_number(PyFrameObject* frame, PyObject* code, CodeInfo* info) {
    if (compat::thread_is_traced()) return PyFrame_GetLineNumber(frame);
    return line_at(compat::frame_lasti(frame), code, info, [&] { return PyFrame_GetLineNumber(frame); });
}

int cached_line_number(compat::InterpreterFrame* frame, int lasti, PyObject* code, CodeInfo* info,
                       PyThreadState* thread) {
    if (compat::thread_is_traced(thread)) return compat::frame_line(frame);
    return line_at(lasti, code, info, [&] { return compat::frame_line(frame); });
}

CodeInfo* existing_code_info(PyObject* code) noexcept {
    if (extra_index_value < 0) return nullptr;
    if (extra_read_in_place) [[likely]] {
        return static_cast<CodeInfo*>(compat::existing_code_extra(code, extra_index_value));
    }
    return static_cast<CodeInfo*>(compat::code_extra_by_api(code, extra_index_value));
}

const CodeDecision* cached_decision(const CodeInfo* info, std::uint64_t serial) noexcept {
    if (info == nullptr) return nullptr;
    for (const CodeDecision& slot : info->slots) {
        if (slot.serial == serial) return &slot;
    }
    return nullptr;
}

}  // namespace nefa
