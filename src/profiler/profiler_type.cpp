// NefaProfiler as Python sees it: a heap type that nobody can construct
// from Python, reached through the host profiler's `rust_profiler`.
#include "profiler/nefa_profiler.hpp"

#include "profiler/operations.hpp"
#include "utils/errors.hpp"

namespace nefa {

namespace {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void release_plugin_references(ProfilerState& state) {
    PluginTable doomed;
    {
        std::lock_guard lock(state.plugin_processors.mutex);
        doomed.swap(state.plugin_processors.value);
    }
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    auto* object = reinterpret_cast<NefaProfilerObject*>(self);
    Py_VISIT(Py_TYPE(self));
    if (object->state == nullptr) return 0;
    int status = 0;
    object->state->per_thread.for_each([&](ThreadValues& values) {
        for (auto& entry : values.call_frames) {
            if (status == 0 && entry.frame) status = visit(entry.frame.get(), arg);
        }
    });
    if (status != 0) return status;
    for (auto& [name, processors] : object->state->plugin_processors.value) {
        for (auto& processor : processors) {
            Py_VISIT(processor.call.get());
            Py_VISIT(processor.process.get());
            Py_VISIT(processor.context.get());
        }
    }
    return 0;
}

int clear(PyObject* self) {
    auto* object = reinterpret_cast<NefaProfilerObject*>(self);
    if (object->state != nullptr) {
        object->state->per_thread.clear_references();
        release_plugin_references(*object->state);
    }
    return 0;
}

void dealloc(PyObject* self) {
    auto* object = reinterpret_cast<NefaProfilerObject*>(self);
    PyObject_GC_UnTrack(self);
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // heap types own a reference
    delete std::exchange(object->state, nullptr);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef methods[] = {
    {"save_request_in_db", method_save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", method_build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"stats", method_stats, METH_NOARGS,
     "stats($self)\n--\n\nThe memory held by the trace being recorded, whether it was cut and how many\n"
     "events it dropped, and what the stores so far made of the traces."},
    {"records_this_thread", method_records_this_thread, METH_NOARGS,
     "records_this_thread($self)\n--\n\nWhether the monitoring engine sends the calling thread's events to this "
     "profiler."},
    {"register_threading_profiler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_register_threading_profiler)),
     METH_FASTCALL | METH_KEYWORDS, "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec profiler_type_def = {
    "nefa._nefa.NefaProfiler", sizeof(NefaProfilerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots,
};

}  // namespace

PyTypeObject* the_nefa_profiler_type = nullptr;

PyTypeObject* nefa_profiler_type() {
    // Created on first use and kept for the life of the process.
    if (the_nefa_profiler_type == nullptr) {
        the_nefa_profiler_type = reinterpret_cast<PyTypeObject*>(Require(PyType_FromSpec(&profiler_type_def)));
    }
    return the_nefa_profiler_type;
}

Ref new_nefa_profiler(std::unique_ptr<ProfilerState> state) {
    PyTypeObject* type = nefa_profiler_type();
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* raw = alloc(type, 0);
    if (raw == nullptr) {
        PyErr_Clear();
        throw InternalError("failed to allocate a NefaProfiler");
    }
    auto* object = reinterpret_cast<NefaProfilerObject*>(raw);
    object->state = state.release();
    object->borrow_count = 0;
    return Ref::steal(raw);
}

NefaProfilerObject* downcast_profiler(PyObject* self) {
    PyTypeObject* type = nefa_profiler_type();
    if (self == nullptr || !PyObject_TypeCheck(self, type)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'NefaProfiler'",
                     self == nullptr ? "NULL" : Py_TYPE(self)->tp_name);
        throw PyErrOccurred{};
    }
    return reinterpret_cast<NefaProfilerObject*>(self);
}

}  // namespace nefa
