// Reporting failures of event processing on the host's "nefa" logger,
// never into the traced program.
#include "profiler/operations.hpp"
#include "utils/errors.hpp"
#include "utils/interned.hpp"

namespace nefa {

namespace {

constexpr const char* kReportMessage =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

void report(FrameHandle& frame, const PendingError& error, Event event, PyObject* co_filename, PyObject* co_name) {
    const Names& n = names();
    Ref logging = import_module(n.mod_logging);
    Ref get_logger = Ref::require(PyObject_GetAttr(logging.get(), n.getLogger));
    Ref logger_name = Ref::require(PyUnicode_FromString("nefa"));
    Ref logger = Ref::require(PyObject_CallOneArg(get_logger.get(), logger_name.get()));
    Ref locals = Ref::require(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame.object()), n.f_locals));
    Ref kwargs = Ref::require(PyDict_New());
    Require(PyDict_SetItem(kwargs.get(), n.exc_info, error.exception() ? error.exception() : Py_None));
    Ref message = Ref::require(PyUnicode_FromString(kReportMessage));
    const auto text = event_text(event);
    Ref event_name = Ref::require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref args = Ref::require(PyTuple_Pack(5, message.get(), co_filename, co_name, event_name.get(), locals.get()));
    Ref warning = Ref::require(PyObject_GetAttr(logger.get(), n.warning));
    Ref result = Ref::require(PyObject_Call(warning.get(), args.get(), kwargs.get()));
}

}  // namespace

namespace {

bool is(const PendingError& error, PyObject* type) {
    return error.exception() != nullptr && PyErr_GivenExceptionMatches(error.exception(), type);
}

}  // namespace

void log_error(DroppedEvents& dropped, FrameHandle& frame, PendingError error, Event event, PyObject* co_filename,
               PyObject* co_name) {
    // A Ctrl-C that arrived while our hook ran Python code belongs to the
    // program: deliver it again, as if it came just after the hook.
    if (is(error, PyExc_KeyboardInterrupt)) {
        PyErr_SetInterrupt();
        return;
    }
    // At the recursion limit the logging call would only fail the same way
    // (or, when it does get through, speak once per frame of the recursion).
    if (is(error, PyExc_RecursionError)) {
        dropped.add(DropCause::recursion_limit);
        return;
    }
    try {
        report(frame, error, event, co_filename, co_name);
    } catch (const PyErrOccurred&) {
        // Reporting itself failed: count it, keep the program's stderr clean.
        PendingError failure = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
        if (is(failure, PyExc_KeyboardInterrupt)) {
            PyErr_SetInterrupt();
        } else {
            dropped.add(is(failure, PyExc_RecursionError) ? DropCause::recursion_limit : DropCause::report_failed);
        }
    } catch (const InternalError&) {
        PyErr_Clear();
        dropped.add(DropCause::internal_error);
    } catch (...) {
        PyErr_Clear();
        dropped.add(DropCause::out_of_memory);
    }
}

}  // namespace nefa
