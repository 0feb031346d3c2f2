#include "filters/code_cache.hpp"

#include "profiler/nefa_profiler.hpp"
#include "utils/compat.hpp"
#include "utils/text.hpp"

#include <array>
#include <optional>
#include <string>

namespace nefa {

namespace {

struct CodeInfo {
    // Only set when the interpreter's own UTF-8 cannot be had.
    std::optional<std::string> filename_replaced;
    std::optional<std::string> name_replaced;
    QualnameCache qualname;
    // Verdicts of the most recent profilers, by profiler serial (0 = empty).
    static constexpr std::size_t kSlots = 4;
    std::array<std::uint64_t, kSlots> serials{};
    std::array<CodeVerdict, kSlots> verdicts{};
    std::size_t next_slot = 0;
};

void free_code_info(void* info) { delete static_cast<CodeInfo*>(info); }

Py_ssize_t extra_index() {
    // Requested once per process, under the interpreter lock.
    static Py_ssize_t index = compat::request_code_extra_index(free_code_info);
    return index;
}

std::string_view text_of(PyObject* str, std::optional<std::string>& replaced) {
    if (replaced) return *replaced;
    if (str == nullptr || !PyUnicode_Check(str)) throw InternalError("`co_filename` is always a string");
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        return {data, static_cast<std::size_t>(size)};
    }
    PyErr_Clear();
    replaced = utf8_lossy(str);
    return *replaced;
}

CodeInfo* cached_info(PyObject* code) {
    const Py_ssize_t index = extra_index();
    if (index < 0) return nullptr;
    void* extra = nullptr;
    if (compat::code_get_extra(code, index, &extra) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (extra != nullptr) return static_cast<CodeInfo*>(extra);
    auto* info = new CodeInfo();
    if (compat::code_set_extra(code, index, info) < 0) {
        PyErr_Clear();
        delete info;
        return nullptr;
    }
    return info;
}

CodeInfo& scratch_slot() {
    thread_local CodeInfo scratch;
    return scratch;
}

}  // namespace

CodeView describe_code(PyObject* code, const ProfilerState& profiler) {
    CodeInfo* info = cached_info(code);
    if (info == nullptr) {
        // No slot available: decide afresh, keeping any replacement text alive
        // in a per-thread scratch until the next event.
        scratch_slot() = CodeInfo{};
        info = &scratch_slot();
    }
    CodeView view;
    view.qualname = info == &scratch_slot() ? nullptr : &info->qualname;
    view.filename = text_of(compat::code_filename(code), info->filename_replaced);
    view.name = text_of(compat::code_name(code), info->name_replaced);
    for (std::size_t i = 0; i < CodeInfo::kSlots; ++i) {
        if (info->serials[i] == profiler.serial) {
            view.verdict = info->verdicts[i];
            return view;
        }
    }
    view.verdict = static_verdict(profiler, view.filename);
    info->serials[info->next_slot] = profiler.serial;
    info->verdicts[info->next_slot] = view.verdict;
    info->next_slot = (info->next_slot + 1) % CodeInfo::kSlots;
    return view;
}

}  // namespace nefa
