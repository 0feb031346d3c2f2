// Reporting failures of event processing on the host's "nefa" logger,
// never into the traced program.
#include "common/interrupts.hpp"
#include "profiler/operations.hpp"
#include "utils/errors.hpp"
#include "utils/interned.hpp"

#include <string>

namespace nefa {

namespace {

constexpr const char* kReportMessage =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

constexpr long kWarning = 30;  // logging.WARNING

struct LoggingNames {
    PyObject* is_enabled_for;
    PyObject* handlers;
    PyObject* level;
    PyObject* propagate;
    PyObject* parent;
    PyObject* null_handler;
};

const LoggingNames& logging_names() {
    static const LoggingNames n = [] {
        const auto intern = [](const char* text) { return Require(PyUnicode_InternFromString(text)); };
        return LoggingNames{intern("isEnabledFor"), intern("handlers"), intern("level"),
                            intern("propagate"),    intern("parent"),   intern("NullHandler")};
    }();
    return n;
}

Ref nefa_logger(PyObject* logging) {
    Ref get_logger = Ref::require(PyObject_GetAttr(logging, names().getLogger));
    Ref logger_name = Ref::require(PyUnicode_FromString("nefa"));
    return Ref::require(PyObject_CallOneArg(get_logger.get(), logger_name.get()));
}

bool truth(PyObject* value) { return Require(PyObject_IsTrue(value)) != 0; }

// Whether a warning on `logger` would reach a handler that does something
// with it: the logger's level, each handler's level and propagation as
// logging applies them. A NullHandler does nothing, and with the one the
// package puts on "nefa", logging's last resort never runs. Checked before
// the report is made, so that an unheard failure costs only its count.
bool warning_is_heard(PyObject* logging, PyObject* logger) {
    const LoggingNames& n = logging_names();
    Ref level = Ref::require(PyLong_FromLong(kWarning));
    Ref enabled = Ref::require(PyObject_CallMethodOneArg(logger, n.is_enabled_for, level.get()));
    if (!truth(enabled.get())) return false;
    Ref null_handler = Ref::require(PyObject_GetAttr(logging, n.null_handler));
    Ref current = Ref::borrow(logger);
    while (current && current.get() != Py_None) {
        Ref list = Ref::require(PyObject_GetAttr(current.get(), n.handlers));
        // A copy: reading a level may run code that changes the list.
        Ref handlers = Ref::require(PySequence_Tuple(list.get()));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handlers.get()); ++i) {
            PyObject* handler = PyTuple_GET_ITEM(handlers.get(), i);
            if (reinterpret_cast<PyObject*>(Py_TYPE(handler)) == null_handler.get()) continue;
            Ref handler_level = Ref::require(PyObject_GetAttr(handler, n.level));
            const long value = PyLong_AsLong(handler_level.get());
            if (value == -1 && PyErr_Occurred()) throw PyErrOccurred{};
            if (kWarning >= value) return true;
        }
        Ref propagate = Ref::require(PyObject_GetAttr(current.get(), n.propagate));
        if (!truth(propagate.get())) break;
        current = Ref::require(PyObject_GetAttr(current.get(), n.parent));
    }
    return false;
}

void report(PyObject* logger, FrameHandle& frame, const PendingError& error, Event event, PyObject* co_filename,
            PyObject* co_name) {
    const Names& n = names();
    Ref locals = Ref::require(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame.object()), n.f_locals));
    Ref kwargs = Ref::require(PyDict_New());
    Require(PyDict_SetItem(kwargs.get(), n.exc_info, error.exception() ? error.exception() : Py_None));
    Ref message = Ref::require(PyUnicode_FromString(kReportMessage));
    const auto text = event_text(event);
    Ref event_name = Ref::require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref args = Ref::require(PyTuple_Pack(5, message.get(), co_filename, co_name, event_name.get(), locals.get()));
    Ref warning = Ref::require(PyObject_GetAttr(logger, n.warning));
    Ref result = Ref::require(PyObject_Call(warning.get(), args.get(), kwargs.get()));
}

bool is(const PendingError& error, PyObject* type) {
    return error.exception() != nullptr && PyErr_GivenExceptionMatches(error.exception(), type);
}

// The failure as the summary lists it: the exception's type, no values.
// The one key shown is the module name the qualified-name rule reads.
std::string cause_of(PyObject* exception) {
    if (exception == nullptr) return "unknown error";
    std::string cause = Py_TYPE(exception)->tp_name;
    if (Py_TYPE(exception) == reinterpret_cast<PyTypeObject*>(PyExc_KeyError)) {
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exception)->args;
        if (args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 &&
            PyUnicode_Check(PyTuple_GET_ITEM(args, 0)) &&
            PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(args, 0), "__name__") == 0) {
            cause += ": '__name__'";
        }
    }
    return cause;
}

}  // namespace

void log_error(DroppedEvents& dropped, FrameHandle& frame, PendingError error, Event event, PyObject* co_filename,
               PyObject* co_name) {
    // A Ctrl-C that arrived while our hook ran Python code belongs to the
    // program: deliver it again, as if it came just after the hook. One the
    // code we called raised itself is that code's failure, as any other.
    if (is(error, PyExc_KeyboardInterrupt) && interrupt_from_signal(error.exception())) {
        PyErr_SetInterrupt();
        return;
    }
    dropped.add_failed(cause_of(error.exception()), co_filename, co_name, event == Event::call);
    // At the recursion limit the logging call would only fail the same way
    // (or, when it does get through, speak once per frame of the recursion).
    if (is(error, PyExc_RecursionError)) {
        dropped.note(DropCause::recursion_limit);
        return;
    }
    try {
        Ref logging = import_module(names().mod_logging);
        Ref logger = nefa_logger(logging.get());
        if (warning_is_heard(logging.get(), logger.get())) {
            report(logger.get(), frame, error, event, co_filename, co_name);
        }
    } catch (const PyErrOccurred&) {
        // Reporting itself failed: count it, keep the program's stderr clean.
        PendingError failure = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
        if (is(failure, PyExc_KeyboardInterrupt) && interrupt_from_signal(failure.exception())) {
            PyErr_SetInterrupt();
        } else {
            dropped.note(is(failure, PyExc_RecursionError) ? DropCause::recursion_limit : DropCause::report_failed);
        }
    } catch (const InternalError&) {
        PyErr_Clear();
        dropped.note(DropCause::internal_error);
    } catch (...) {
        PyErr_Clear();
        dropped.note(DropCause::out_of_memory);
    }
}

}  // namespace nefa
