// Telling the user's Ctrl-C apart from a KeyboardInterrupt raised by code
// we called (an object's repr, the host's Python code).
#pragma once

#include "common/refs.hpp"

#include <opcode.h>

#include <csignal>

namespace nefa {

namespace interrupts_detail {

// Whether a frame of the traceback `tb` runs the program's own SIGINT
// handler (a handler that raises KeyboardInterrupt passes a signal on).
inline bool in_sigint_handler(PyObject* tb) {
    Ref signal_name = Ref::steal(PyUnicode_FromString("signal"));
    if (!signal_name) return false;
    Ref module = Ref::steal(PyImport_GetModule(signal_name.get()));
    if (!module) return false;  // never imported: the default handler, which runs no Python code
    Ref handler = Ref::steal(PyObject_CallMethod(module.get(), "getsignal", "i", SIGINT));
    Ref code = handler ? Ref::steal(PyObject_GetAttrString(handler.get(), "__code__")) : Ref{};
    if (!code) return false;
    for (auto* entry = reinterpret_cast<PyTracebackObject*>(tb); entry != nullptr; entry = entry->tb_next) {
        Ref frame_code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(entry->tb_frame)));
        if (frame_code.get() == code.get()) return true;
    }
    return false;
}

}  // namespace interrupts_detail

// Whether `exception`, a KeyboardInterrupt met while we ran code of the
// program's or the host's, stands for a SIGINT. The interpreter raises a
// signal's between instructions, at its periodic check (or inside a call
// that checks), never at a `raise` statement; a `raise KeyboardInterrupt`
// in the code we called is that code's failure, not the user's Ctrl-C, and
// must not stop the program. A bare `raise` (a caught Ctrl-C passed on),
// one set from C, and one raised by the program's SIGINT handler count as
// signals. Requires the interpreter lock; leaves no error set.
inline bool interrupt_from_signal(PyObject* exception) {
    PendingError pending = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
    bool signal = true;
    Ref tb = Ref::steal(PyException_GetTraceback(exception));
    if (tb && PyTraceBack_Check(tb.get())) {
        auto* inner = reinterpret_cast<PyTracebackObject*>(tb.get());
        while (inner->tb_next != nullptr) inner = inner->tb_next;
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(inner->tb_frame)));
        Ref bytes = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code.get())));
        const Py_ssize_t at = inner->tb_lasti;
        if (bytes && PyBytes_Check(bytes.get()) && at >= 0 && at + 1 < PyBytes_GET_SIZE(bytes.get())) {
            const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
            signal = units[at] != RAISE_VARARGS || units[at + 1] == 0 || interrupts_detail::in_sigint_handler(tb.get());
        }
    }
    PyErr_Clear();
    pending.restore();
    return signal;
}

}  // namespace nefa
