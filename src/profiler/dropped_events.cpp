#include "profiler/dropped_events.hpp"

#include "utils/interned.hpp"

#include <string>

namespace nefa {

namespace {

constexpr std::array<const char*, static_cast<std::size_t>(DropCause::count_)> kCauseText = {
    "at the recursion limit",
    "whose failure could not be logged",
    "after an internal error",
    "for lack of memory",
};

}  // namespace

std::array<std::uint64_t, static_cast<std::size_t>(DropCause::count_)> DroppedEvents::take() noexcept {
    std::array<std::uint64_t, static_cast<std::size_t>(DropCause::count_)> out{};
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
