#include "filters/builtin_filters.hpp"

#include "common/compat.hpp"
#include "filters/code_cache.hpp"
#include "profiler/nefa_profiler.hpp"
#include "utils/text.hpp"

namespace nefa {

namespace not_windows {

const std::vector<SubstringFinder>& LIBRARY_FINDERS() {
    static const std::vector<SubstringFinder> finders{SubstringFinder("lib/python"),
                                                      SubstringFinder("/site-packages/")};
    return finders;
}

const SubstringFinder& FROZEN_FINDER() {
    static const SubstringFinder finder("<frozen ");
    return finder;
}

// Every internal module file and subpackage of the host package; its plugin
// modules are deliberately absent so that they can be traced like user code.
const std::vector<SubstringFinder>& NEFA_FINDERS() {
    static const std::vector<SubstringFinder> finders{
        SubstringFinder("/nefa/__init__.py"),  SubstringFinder("/nefa/__main__.py"),
        SubstringFinder("/nefa/cli.py"),       SubstringFinder("/nefa/config.py"),
        SubstringFinder("/nefa/db.py"),        SubstringFinder("/nefa/git.py"),
        SubstringFinder("/nefa/profiler.py"),  SubstringFinder("/nefa/pytest_plugin.py"),
        SubstringFinder("/nefa/redaction.py"), SubstringFinder("/nefa/runner.py"),
        SubstringFinder("/nefa/serialize.py"), SubstringFinder("/nefa/version.py"),
        SubstringFinder("/nefa/wsgi.py"),      SubstringFinder("/nefa/filters/"),
        SubstringFinder("/nefa/store/"),       SubstringFinder("/nefa/traces/"),
    };
    return finders;
}

const SubstringFinder& EXEC_FINDER() {
    static const SubstringFinder finder("<string>");
    return finder;
}

}  // namespace not_windows

namespace {

constexpr std::string_view kPytestExpression = "<pytest match expression>";
constexpr std::string_view kAttrsGenerated = "<attrs generated";
constexpr std::string_view kAttrsMake = "attr/_make.py";

bool ends_with_attrs_make(PyObject* code) {
    PyObject* filename = compat::code_filename(code);
    if (filename == nullptr || !PyUnicode_Check(filename)) throw InternalError("A code object has a filename.");
    // Nearly every file name is ASCII, its characters then its UTF-8 as they are.
    if (PyUnicode_IS_COMPACT_ASCII(filename)) {
        const auto* chars = static_cast<const char*>(PyUnicode_DATA(filename));
        return std::string_view(chars, static_cast<std::size_t>(PyUnicode_GET_LENGTH(filename))).ends_with(kAttrsMake);
    }
    // An undecodable caller file name cannot be attrs' module: judge it as not.
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(filename, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(data, static_cast<std::size_t>(size)).ends_with(kAttrsMake);
}

// The caller's file name, or nothing when the caller's file name is empty.
enum class CallerVerdict { attrs, not_attrs, look_further };

CallerVerdict judge_caller(PyObject* code) {
    PyObject* filename = compat::code_filename(code);
    if (filename == nullptr || !PyUnicode_Check(filename)) throw InternalError("A code object has a filename.");
    if (PyUnicode_GET_LENGTH(filename) == 0) return CallerVerdict::look_further;
    return ends_with_attrs_make(code) ? CallerVerdict::attrs : CallerVerdict::not_attrs;
}

}  // namespace

bool library_filter(std::string_view filename) { return any_finds(not_windows::LIBRARY_FINDERS(), filename); }
bool frozen_filter(std::string_view filename) { return not_windows::FROZEN_FINDER().find_in(filename); }
bool nefa_filter(std::string_view filename) { return any_finds(not_windows::NEFA_FINDERS(), filename); }
bool exec_filter(std::string_view filename) { return not_windows::EXEC_FINDER().find_in(filename); }
bool pytest_filter(std::string_view filename) { return filename == kPytestExpression; }

bool attrs_filter(std::string_view filename, PyFrameObject* frame) {
    if (filename.starts_with(kAttrsGenerated)) return true;
    Ref caller = compat::frame_back(frame);
    if (!caller) return false;
    auto* caller_frame = reinterpret_cast<PyFrameObject*>(caller.get());
    switch (judge_caller(compat::frame_code(caller_frame).get())) {
        case CallerVerdict::attrs: return true;
        case CallerVerdict::not_attrs: return false;
        case CallerVerdict::look_further: break;
    }
    Ref caller2 = compat::frame_back(caller_frame);
    if (!caller2) return false;
    return ends_with_attrs_make(compat::frame_code(reinterpret_cast<PyFrameObject*>(caller2.get())).get());
}

bool attrs_filter(std::string_view filename, const compat::RunningFrame& running) {
    if (filename.starts_with(kAttrsGenerated)) return true;
    // The callers PyFrame_GetBack would give, read where they run.
    PyObject* code = nullptr;
    compat::InterpreterFrame* caller = compat::frame_caller(running.frame, &code);
    if (caller == nullptr) return false;
    switch (judge_caller(code)) {
        case CallerVerdict::attrs: return true;
        case CallerVerdict::not_attrs: return false;
        case CallerVerdict::look_further: break;
    }
    if (compat::frame_caller(caller, &code) == nullptr) return false;
    return ends_with_attrs_make(code);
}

CodeVerdict static_verdict(const ProfilerState& profiler, std::string_view filename) {
    // Everything but the attrs caller rule depends only on the file name.
    if (any_finds(profiler.include_frames, filename)) return CodeVerdict::record;
    const bool skipped = library_filter(filename) || frozen_filter(filename) || nefa_filter(filename) ||
                         exec_filter(filename) || pytest_filter(filename) || filename.starts_with(kAttrsGenerated) ||
                         any_finds(profiler.ignore_frames, filename);
    return skipped ? CodeVerdict::skip : CodeVerdict::ask_callers;
}

bool should_process_frame(const ProfilerState& profiler, PyFrameObject* frame, std::string_view filename) {
    switch (static_verdict(profiler, filename)) {
        case CodeVerdict::record: return true;
        case CodeVerdict::skip: return false;
        case CodeVerdict::ask_callers: return !attrs_filter(filename, frame);
    }
    return false;
}

}  // namespace nefa
