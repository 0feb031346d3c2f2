// sys.monitoring's events as the profile hook's call and return events.
#include "profiler/monitoring_callbacks.hpp"

#include "common/compat.hpp"
#include "filters/code_cache.hpp"
#include "profiler/operations.hpp"
#include "utils/errors.hpp"

#include <cstddef>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace nefa {

namespace {

PyObject* disable_value = nullptr;
bool disable_allowed = false;

// The profiler this thread's events go to, and this thread's values in its
// store: looked up at the first event that needs them, then kept while the
// thread's events go there (the store keeps them as long as the profiler).
struct ThreadTarget {
    NefaProfilerObject* profiler = nullptr;
    ThreadValues* values = nullptr;
};
thread_local ThreadTarget target;
ThreadEndNotice thread_end_notice = nullptr;

// Registered on a thread when it first names a profiler; tells the engine
// when the thread ends, so that a profiler is not kept for threads gone.
struct ThreadEndWatch {
    ~ThreadEndWatch() {
        if (target.profiler != nullptr && thread_end_notice != nullptr) thread_end_notice(target.profiler);
    }
};
thread_local ThreadEndWatch thread_end_watch;

// What may answer an event: DISABLE only for events that sys.monitoring can
// switch off per code location (it refuses DISABLE from PY_THROW and PY_UNWIND).
enum class Answer { none, disable };

PyObject* answer(Answer value) {
    const bool disable = value == Answer::disable && disable_allowed && disable_value != nullptr;
    return Py_NewRef(disable ? disable_value : Py_None);
}

// This thread's values in the store of `self`, the thread's profiler: kept
// with it from the first event on. Throws like PerThreadStore::current.
// Interpreter lock held.
[[gnu::noinline]] ThreadValues& first_values(NefaProfilerObject* self) {
    ProfilerState& state = *self->state;
    ThreadValues& values = state.per_thread.current(state.serial);
    if (target.profiler == self) target.values = &values;
    return values;
}

// `values` are this thread's values in the store of `self`, when known.
// Interpreter lock held.
bool deliver_to(NefaProfilerObject* self, ThreadValues* values, FrameHandle& frame, PyObject* code, CodeInfo* info,
                const CodeDecision* decided, Event event, PyObject* arg, PendingError& pending) {
    bool wanted = true;
    // Our own reference: the host's Python code run during the event may
    // end this thread's recording and release the engine's.
    Ref self_ref = Ref::borrow(reinterpret_cast<PyObject*>(self));
    const int status = guarded(
        [&]() -> int {
            SharedBorrow borrow(self);
            if (values == nullptr) values = &first_values(self);
            wanted = profile(self, frame, code, event, arg, info, decided, values);
            return 0;
        },
        -1);
    if (status != 0) {
        // Nothing of ours may raise into the program: an event that could
        // not even reach the profiler is counted instead.
        PyErr_Clear();
        self->state->dropped.add(DropCause::internal_error);
    }
    pending.restore();
    return wanted;
}

// Everything past the fast path: the event reaches the same processing as
// the profile hook's, with the frame of the running code, read where the
// interpreter keeps it (no frame object is made for it unless needed).
// False when the code is of no interest to the profiler. Inlined into the
// callback: filtered code is switched off after its first event, so the
// events that come here are nearly all recorded. Interpreter lock held.
[[gnu::always_inline]] inline bool deliver(NefaProfilerObject* self, ThreadValues* values, PyObject* code,
                                           CodeInfo* info, const CodeDecision* decided, Event event, PyObject* arg) {
    if constexpr (compat::reads_interpreter_frames) {
        FrameHandle frame;
        // Not the event's own frame (a callback of another tool's, made of
        // Python code, called ours): nothing true can be recorded.
        if (!frame.find_running(code)) {
            self->state->dropped.add(DropCause::internal_error);
            return true;
        }
        // The interpreter calls its callbacks with no error pending; one
        // that is (a call from elsewhere) is kept for its owner.
        PendingError pending = compat::error_pending(frame.running()->thread) ? PendingError::fetch() : PendingError{};
        return deliver_to(self, values, frame, code, info, decided, event, arg, pending);
    }
    PendingError pending = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
    PyFrameObject* object = compat::current_frame();
    if (object == nullptr || compat::frame_code(object).get() != code) {
        PyErr_Clear();
        self->state->dropped.add(DropCause::internal_error);
        pending.restore();
        return true;
    }
    Ref frame_ref = Ref::borrow(reinterpret_cast<PyObject*>(object));
    FrameHandle frame = FrameHandle::of_object(object);
    return deliver_to(self, values, frame, code, info, decided, event, arg, pending);
}

// Called by sys.monitoring with the interpreter lock held; args[0] is the
// code object. Never raises for an event; wrong arguments (a call from
// Python code) are a TypeError.
PyObject* on_event(PyObject* const* args, std::size_t nargsf, PyObject* kwnames, Py_ssize_t expected, Event event,
                   PyObject* arg, Answer when_unwanted) {
    if (PyVectorcall_NARGS(nargsf) != expected || kwnames != nullptr || !PyCode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "nefa's sys.monitoring callbacks are called by the interpreter only");
        return nullptr;
    }
    const ThreadTarget here = target;
    NefaProfilerObject* profiler = here.profiler;
    if (profiler == nullptr) Py_RETURN_NONE;
    // The common case, decided once per code object: filtered code that no
    // plugin wants. Its location is switched off and costs nothing again.
    CodeInfo* info = existing_code_info(args[0]);
    const CodeDecision* decided = cached_decision(info, profiler->state->serial);
    if (decided != nullptr && decided->skipped()) return answer(when_unwanted);
    // Counted, so not switched off: the count says how much the cut lost.
    if (counted_past_cut(*profiler->state, decided)) Py_RETURN_NONE;
    return answer(deliver(profiler, here.values, args[0], info, decided, event, arg) ? Answer::none : when_unwanted);
}

PyObject* on_start(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return on_event(args, nargsf, kwnames, 2, Event::call, Py_None, Answer::disable);
}

// A throw into a generator is a call, as under the profile hook.
PyObject* on_throw(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const bool three = PyVectorcall_NARGS(nargsf) == 3;
    return on_event(args, nargsf, kwnames, 3, Event::call, three ? compat::throw_call_argument(args[2]) : Py_None,
                    Answer::none);
}

PyObject* on_return(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const bool three = PyVectorcall_NARGS(nargsf) == 3;
    return on_event(args, nargsf, kwnames, 3, Event::return_, three ? args[2] : Py_None, Answer::disable);
}

// A return by exception carries None, as under the profile hook.
PyObject* on_unwind(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return on_event(args, nargsf, kwnames, 3, Event::return_, Py_None, Answer::none);
}

// The callbacks are objects of a type of ours that the interpreter calls
// through their vectorcall slot, straight into the functions above: a
// builtin function would add a call of the interpreter's own to each event.
struct CallbackObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const char* name;
};

PyObject* callback_repr(PyObject* self) {
    return PyUnicode_FromFormat("<nefa sys.monitoring callback %s>", reinterpret_cast<CallbackObject*>(self)->name);
}

PyMemberDef callback_members[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CallbackObject, vectorcall), Py_READONLY, nullptr},
#else
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(CallbackObject, vectorcall), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot callback_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(callback_repr)},
    {Py_tp_members, callback_members},
    {0, nullptr},
};

PyType_Spec callback_type_def = {
    "nefa._nefa.MonitoringCallback",
    sizeof(CallbackObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    callback_slots,
};

// Created on first use and kept for the life of the process.
PyTypeObject* callback_type = nullptr;

const MonitoringCallback callbacks[] = {
    {"PY_START", "nefa_py_start", on_start},  {"PY_RESUME", "nefa_py_resume", on_start},
    {"PY_THROW", "nefa_py_throw", on_throw},  {"PY_RETURN", "nefa_py_return", on_return},
    {"PY_YIELD", "nefa_py_yield", on_return}, {"PY_UNWIND", "nefa_py_unwind", on_unwind},
};

}  // namespace

std::span<const MonitoringCallback> monitoring_callbacks() { return callbacks; }

Ref new_monitoring_callback(const MonitoringCallback& callback) {
    if (callback_type == nullptr) {
        callback_type = reinterpret_cast<PyTypeObject*>(Require(PyType_FromSpec(&callback_type_def)));
    }
    Ref object = Ref::require(PyType_GenericAlloc(callback_type, 0));
    auto* raw = reinterpret_cast<CallbackObject*>(object.get());
    raw->vectorcall = callback.call;
    raw->name = callback.name;
    return object;
}

NefaProfilerObject* thread_profiler() noexcept { return target.profiler; }

void set_thread_profiler(NefaProfilerObject* profiler) noexcept {
    if (profiler != nullptr) (void)&thread_end_watch;  // registers the watch on this thread
    target = ThreadTarget{profiler, nullptr};
}

void on_thread_end(ThreadEndNotice notice) noexcept { thread_end_notice = notice; }

void allow_disable(bool allowed) noexcept { disable_allowed = allowed; }

void remember_disable(PyObject* disable) {
    if (disable_value == nullptr) disable_value = Py_NewRef(disable);
}

}  // namespace nefa
