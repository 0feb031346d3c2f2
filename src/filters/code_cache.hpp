// What nefa decides once per code object and keeps in the code object's
// extra slot: its file name and name as UTF-8, its qualified name, and each
// profiler's filter verdict and plugin list. The slot is freed with the code
// object, so nothing cached ever outlives the code it was made for.
#pragma once

#include "common/compat.hpp"
#include "common/refs.hpp"
#include "plugins/plugin_processor.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nefa {

struct ProfilerState;
struct CodeInfo;

enum class CodeVerdict : std::uint8_t {
    record,       // an include pattern matched
    skip,         // a built-in test or an ignore pattern matched
    ask_callers,  // recorded unless the attrs caller rule says otherwise
};

// The verdict for a file name, without the caller rule.
CodeVerdict static_verdict(const ProfilerState& profiler, std::string_view filename);

// The last qualified name made for the code, and the module name (a strong
// reference) it was made with: code run under other globals is named afresh.
struct QualnameCache {
    Ref module_name;
    // The globals dict the module name was read from, and its version then
    // (compared, not held): while both match, globals["__name__"] is the same.
    PyObject* globals = nullptr;
    std::uint64_t globals_version = 0;
    // Shared so that an event keeps its text even if another thread renames
    // the cache while this event runs Python code.
    std::shared_ptr<const std::string> text;
};

struct CodeView {
    // co_filename and co_name as UTF-8; lone surrogates (undecodable file
    // names) are replaced by U+FFFD. Valid while the code object lives.
    std::string_view filename;
    // The end of filename: what lies past the profiler's working directory.
    std::string_view relative_path;
    std::string_view name;
    CodeVerdict verdict = CodeVerdict::skip;
    // The profiler's processors for this co_name, or null for none.
    std::vector<PluginProcessor>* processors = nullptr;
    // Null when the code object has no slot for us.
    QualnameCache* qualname = nullptr;
    CodeInfo* info = nullptr;
};

// One profiler's decision on a code object, kept in the code object's cache.
struct CodeDecision {
    std::uint64_t serial = 0;  // the profiler's; 0: empty
    CodeVerdict verdict = CodeVerdict::skip;
    // The profiler's processors for this co_name, or null for none.
    std::vector<PluginProcessor>* processors = nullptr;
    // Where the file name relative to the profiler's working directory starts.
    std::size_t relative_path_start = 0;

    // Filtered out, and no plugin wants it: none of its events matter.
    bool skipped() const { return verdict == CodeVerdict::skip && processors == nullptr; }
};

// Requires the interpreter lock; `code` must be a code object. `known` is
// its cache when the caller already has it (existing_code_info), and
// `decided` the profiler's decision found in it (cached_decision).
CodeView describe_code(PyObject* code, ProfilerState& profiler, CodeInfo* known = nullptr,
                       const CodeDecision* decided = nullptr);

// The decision of the profiler with `serial` in the cache `info` (may be
// null), or null when it has made none there yet ("ask describe_code").
// Most events end at its skipped(), so it is kept to a few slot reads.
// Never fails.
const CodeDecision* cached_decision(const CodeInfo* info, std::uint64_t serial) noexcept;

// The code object's cache if it has one yet, else null. Never fails.
// Requires the interpreter lock.
CodeInfo* existing_code_info(PyObject* code) noexcept;

// Whether one of the code's variables is named "__builtins__" (which a
// record's locals leave out): decided once per code object. Interpreter lock
// held; `info` may be null (then decided afresh).
bool variables_name_builtins(PyObject* code, CodeInfo* info);

// The line the frame is at, as PyFrame_GetLineNumber gives it (-1 for
// none), remembered per code object and instruction: looking a line up walks
// the code's location table, which costs more than the rest of a record's
// path and line together. Requires the interpreter lock.
int cached_line_number(PyFrameObject* frame);
// The same, for a frame running `code`, whose cache `info` (may be null) the
// caller has at hand.
int cached_line_number(PyFrameObject* frame, PyObject* code, CodeInfo* info);
// The same for a running frame read without a frame object, at instruction
// `lasti`, on the thread whose state is `thread`.
int cached_line_number(compat::InterpreterFrame* frame, int lasti, PyObject* code, CodeInfo* info,
                       PyThreadState* thread);

}  // namespace nefa
