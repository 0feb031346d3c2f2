#include "profiler/dropped_events.hpp"

#include "utils/interned.hpp"

#include <string>

namespace nefa {

namespace {

constexpr std::array<const char*, kDropCauses> kCauseText = {
    "at the recursion limit",
    "whose failure could not be logged",
    "after an internal error",
    "for lack of memory",
};

constexpr std::array<const char*, kDropCauses> kCauseName = {
    "recursion limit",
    "report failed",
    "internal error",
    "out of memory",
};

std::string_view utf8_of(PyObject* text) {
    if (text == nullptr || !PyUnicode_Check(text)) return "?";
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();  // lone surrogates: the name is not worth an error
        return "?";
    }
    return {data, static_cast<std::size_t>(size)};
}

}  // namespace

const char* drop_cause_name(DropCause cause) noexcept { return kCauseName[static_cast<std::size_t>(cause)]; }

void DroppedEvents::add_failed(std::string_view cause, PyObject* co_filename, PyObject* co_name, bool call) noexcept {
    const std::string_view file = utf8_of(co_filename);
    const std::string_view function = utf8_of(co_name);
    std::lock_guard lock(mutex_);
    for (FailedCode& code : codes_) {
        if (code.function == function && code.file == file && code.cause == cause) {
            ++code.events;
            code.calls += call ? 1 : 0;
            return;
        }
    }
    if (codes_.size() < kMostCodes) {
        try {
            codes_.push_back(
                FailedCode{std::string(cause), std::string(file), std::string(function), 1, call ? 1U : 0U});
            return;
        } catch (...) {
            // Out of memory: counted among the others.
        }
    }
    ++other_;
}

DroppedEvents::Failures DroppedEvents::failures() const {
    Failures out;
    {
        std::lock_guard lock(mutex_);
        out.codes = codes_;
        out.other = other_;
    }
    for (std::size_t i = 0; i < kDropCauses; ++i) out.codeless[i] = codeless_[i].load(std::memory_order_relaxed);
    return out;
}

std::array<std::uint64_t, kDropCauses> DroppedEvents::take() noexcept {
    std::array<std::uint64_t, kDropCauses> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = counts_[i].exchange(0, std::memory_order_relaxed);
    return out;
}

void report_dropped_events(DroppedEvents& dropped) noexcept {
    const auto counts = dropped.take();
    std::uint64_t total = 0;
    for (const auto count : counts) total += count;
    if (total == 0) return;
    // Whatever the caller had pending is its own business.
    PendingError pending = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
    try {
        std::string causes;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (counts[i] == 0) continue;
            if (!causes.empty()) causes += ", ";
            causes += std::to_string(counts[i]) + " " + kCauseText[i];
        }
        const std::string message = "nefa dropped " + std::to_string(total) + (total == 1 ? " event" : " events") +
                                    " it could not record: " + causes;
        const Names& n = names();
        Ref logging = import_module(n.mod_logging);
        Ref get_logger = Ref::require(PyObject_GetAttr(logging.get(), n.getLogger));
        Ref logger_name = Ref::require(PyUnicode_FromString("nefa"));
        Ref logger = Ref::require(PyObject_CallOneArg(get_logger.get(), logger_name.get()));
        Ref text = Ref::require(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        Ref result = Ref::require(PyObject_CallMethodOneArg(logger.get(), n.warning, text.get()));
    } catch (const PyErrOccurred&) {
        PendingError failure = PendingError::fetch();
        if (failure.exception() != nullptr &&
            PyErr_GivenExceptionMatches(failure.exception(), PyExc_KeyboardInterrupt)) {
            PyErr_SetInterrupt();
        }
    } catch (...) {
        PyErr_Clear();
    }
    pending.restore();
}

}  // namespace nefa
