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
    DrainedRecords drained;
    Ref document = build_trace_inner(state, &drained);
    try {
        Require(PyDict_SetItem(kwargs.get(), n.msgpack, document.get()));
        std::string trace_id;
        {
            std::lock_guard lock(state.trace_id.mutex);
            trace_id = state.trace_id.value;
        }
        Ref db_path = Ref::require(PyUnicode_FromStringAndSize(state.db_path.data(),
                                                               static_cast<Py_ssize_t>(state.db_path.size())));
        Ref id = Ref::require(PyUnicode_FromStringAndSize(trace_id.data(), static_cast<Py_ssize_t>(trace_id.size())));
        Ref args = Ref::require(PyTuple_Pack(2, db_path.get(), id.get()));
        Ref db = import_module(n.mod_db);
        Ref save = Ref::require(PyObject_GetAttr(db.get(), n.save_trace_in_sqlite));
        Ref result = Ref::require(PyObject_Call(save.get(), args.get(), kwargs.get()));
    } catch (const PyErrOccurred&) {
        // A failed store loses nothing: the records go back in front of
        // whatever arrived meanwhile, so a retry stores them.
        ensure_error_set();
        PendingError error = PendingError::fetch();
        restore_drained(state, std::move(drained));
        error.restore();
        throw;
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
