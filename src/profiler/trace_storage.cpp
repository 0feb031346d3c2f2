// Handing a trace to the host's database, and the two methods that let
// Python ask for a trace.
#include "profiler/operations.hpp"
#include "utils/errors.hpp"
#include "utils/interned.hpp"

namespace nefa {

void save_in_db(ProfilerState& state) {
    const Names& n = names();
    Ref kwargs = Ref::require(PyDict_New());
    {
        Ref timeout = Ref::require(PyLong_FromUnsignedLongLong(state.sqlite_busy_timeout));
        Require(PyDict_SetItem(kwargs.get(), n.timeout, timeout.get()));
    }
    DocumentLayout layout;
    Ref document = build_trace_inner(state, &layout);
    try {
        Require(PyDict_SetItem(kwargs.get(), n.msgpack, document.get()));
        std::string trace_id;
        {
            std::lock_guard lock(state.trace_id.mutex);
            trace_id = state.trace_id.value;
        }
        Ref db_path = Ref::require(
            PyUnicode_FromStringAndSize(state.db_path.data(), static_cast<Py_ssize_t>(state.db_path.size())));
        Ref id = Ref::require(PyUnicode_FromStringAndSize(trace_id.data(), static_cast<Py_ssize_t>(trace_id.size())));
        Ref args = Ref::require(PyTuple_Pack(2, db_path.get(), id.get()));
        Ref db = import_module(n.mod_db);
        Ref save = Ref::require(PyObject_GetAttr(db.get(), n.save_trace_in_sqlite));
        Ref result = Ref::require(PyObject_Call(save.get(), args.get(), kwargs.get()));
    } catch (const PyErrOccurred&) {
        // A failed store loses nothing: the records go back in front of
        // whatever arrived meanwhile, so a retry stores them.
        ensure_error_set();
        state.store_counts.failed.fetch_add(1, std::memory_order_relaxed);
        PendingError error = PendingError::fetch();
        restore_drained(state, document.get(), layout);
        error.restore();
        throw;
    }
    state.store_counts.stored.fetch_add(1, std::memory_order_relaxed);
    if (layout.cut) {
        state.store_counts.stored_cut.fetch_add(1, std::memory_order_relaxed);
        state.store_counts.stored_dropped.fetch_add(layout.dropped, std::memory_order_relaxed);
    }
}

PyObject* method_build_trace(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            SharedBorrow borrow(downcast_profiler(self));
            report_dropped_events(borrow.state().dropped);
            return build_trace_inner(borrow.state()).release();
        },
        static_cast<PyObject*>(nullptr));
}

namespace {

void set_item(PyObject* dict, const char* key, Ref value) { Require(PyDict_SetItemString(dict, key, value.get())); }

Ref unsigned_value(std::uint64_t value) { return Ref::require(PyLong_FromUnsignedLongLong(value)); }

Ref text_value(const std::string& text) {
    return Ref::require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref optional_text(const std::string& text) { return text.empty() ? Ref::borrow(Py_None) : text_value(text); }

// The events that failed and were not recorded, one entry per cause and
// code (the drops that knew no code: per cause, with no file or function).
Ref failed_events(const DroppedEvents::Failures& failures) {
    Ref list = Ref::require(PyList_New(0));
    const auto add = [&](Ref cause, Ref file, Ref function, std::uint64_t events, std::uint64_t calls) {
        Ref entry = Ref::require(PyDict_New());
        set_item(entry.get(), "cause", std::move(cause));
        set_item(entry.get(), "file", std::move(file));
        set_item(entry.get(), "function", std::move(function));
        set_item(entry.get(), "count", unsigned_value(events));
        set_item(entry.get(), "calls", unsigned_value(calls));
        Require(PyList_Append(list.get(), entry.get()));
    };
    for (const FailedCode& code : failures.codes) {
        add(text_value(code.cause), optional_text(code.file), optional_text(code.function), code.events, code.calls);
    }
    for (std::size_t i = 0; i < kDropCauses; ++i) {
        if (failures.codeless[i] == 0) continue;
        add(Ref::require(PyUnicode_FromString(drop_cause_name(static_cast<DropCause>(i)))), Ref::borrow(Py_None),
            Ref::borrow(Py_None), failures.codeless[i], 0);
    }
    return list;
}

}  // namespace

// GIL held. A snapshot: counters move on as soon as events arrive.
PyObject* method_stats(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            SharedBorrow borrow(downcast_profiler(self));
            ProfilerState& state = borrow.state();
            check_fork(state);
            std::string trace_id;
            std::string parent;
            {
                std::lock_guard lock(state.trace_id.mutex);
                trace_id = state.trace_id.value;
                parent = state.parent_trace_id;
            }
            Ref stats = Ref::require(PyDict_New());
            set_item(stats.get(), "trace_id", text_value(trace_id));
            set_item(stats.get(), "parent_trace_id", parent.empty() ? Ref::borrow(Py_None) : text_value(parent));
            set_item(stats.get(), "memory_budget", unsigned_value(state.memory_budget));
            set_item(stats.get(), "buffered_bytes", unsigned_value(state.usage.bytes.load()));
            set_item(stats.get(), "cut", Ref::borrow(state.usage.cut.load() ? Py_True : Py_False));
            set_item(stats.get(), "dropped_events", unsigned_value(state.usage.dropped.load()));
            set_item(stats.get(), "stored", unsigned_value(state.store_counts.stored.load()));
            set_item(stats.get(), "store_failures", unsigned_value(state.store_counts.failed.load()));
            set_item(stats.get(), "stored_cut", unsigned_value(state.store_counts.stored_cut.load()));
            set_item(stats.get(), "stored_dropped_events", unsigned_value(state.store_counts.stored_dropped.load()));
            const DroppedEvents::Failures failures = state.dropped.failures();
            set_item(stats.get(), "failed_events", failed_events(failures));
            set_item(stats.get(), "failed_events_other", unsigned_value(failures.other));
            return stats.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* method_save_request_in_db(PyObject* self, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            SharedBorrow borrow(downcast_profiler(self));
            report_dropped_events(borrow.state().dropped);
            save_in_db(borrow.state());
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace nefa
