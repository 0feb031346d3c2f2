// nefa._native.TraceExport: the exporter of exporter.hpp as Python drives
// it. Python reads the stored pieces and writes what is small (the head
// and the end of the document); everything per record is native, without
// the interpreter lock (brief takes it back for text beyond ASCII).
#define PY_SSIZE_T_CLEAN
#include "host/trace_export/python_export.hpp"

#include "common/refs.hpp"
#include "host/trace_export/brief.hpp"
#include "host/trace_export/exporter.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string>

namespace nefa::trace_export {

namespace {

struct ExportObject {
    PyObject_HEAD
    Format format;
    Survey* survey;
    Writer* writer;
    bool writing;  // the parts are being written (else surveyed)
    bool in_part;
    bool busy;  // feed runs without the interpreter lock: no second caller meanwhile
};

ExportObject* as_export(PyObject* self) { return reinterpret_cast<ExportObject*>(self); }

trace_index::Scanner* current(ExportObject* self) {
    if (!self->in_part) {
        PyErr_SetString(PyExc_RuntimeError, "no part begun");
        return nullptr;
    }
    return self->writing ? &self->writer->scanner() : &self->survey->scanner();
}

// Runs `body`, turning what it throws into the Python exception.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const trace_index::Corrupt& error) {
        PyErr_Format(PyExc_ValueError, "at byte %llu: %s", static_cast<unsigned long long>(error.offset),
                     error.cause.c_str());
    } catch (const WriteFailed& error) {
        errno = error.error;
        PyErr_SetFromErrno(PyExc_OSError);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

PyObject* begin_part(PyObject* self_object, PyObject*) {
    ExportObject* self = as_export(self_object);
    return guarded([&]() -> PyObject* {
        if (self->writing) self->writer->begin_part();
        else self->survey->begin_part();
        self->in_part = true;
        Py_RETURN_NONE;
    });
}

PyObject* feed(PyObject* self_object, PyObject* data) {
    ExportObject* self = as_export(self_object);
    trace_index::Scanner* scanner = current(self);
    if (scanner == nullptr) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    if (self->busy) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_RuntimeError, "the exporter is in use by another thread");
        return nullptr;
    }
    // Without the interpreter lock: the next piece is inflated meanwhile.
    std::optional<trace_index::Corrupt> corrupt;
    std::optional<WriteFailed> failed;
    bool no_memory = false;
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        scanner->feed(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len));
    } catch (const trace_index::Corrupt& error) {
        corrupt = error;
    } catch (const WriteFailed& error) {
        failed = error;
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    self->busy = false;
    PyBuffer_Release(&view);
    return guarded([&]() -> PyObject* {
        if (corrupt) throw *corrupt;
        if (failed) throw *failed;
        if (no_memory) throw std::bad_alloc();
        Py_RETURN_NONE;
    });
}

PyObject* text(std::string_view value) {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

// The surveyed part: (fields, threads, value_forms_seen, record_count);
// fields are (key, encoded value), threads (native id, name, records,
// has time, first timestamp, last timestamp).
PyObject* survey_result(trace_index::Scanner& scanner) {
    Ref fields = Ref::steal(PyList_New(0));
    if (!fields) return nullptr;
    for (const auto& [key, value] : scanner.fields) {
        Ref item = Ref::steal(Py_BuildValue("(Ny#)", text(key), value.data(), static_cast<Py_ssize_t>(value.size())));
        if (!item || PyList_Append(fields.get(), item.get()) < 0) return nullptr;
    }
    Ref threads = Ref::steal(PyList_New(0));
    if (!threads) return nullptr;
    for (const auto& thread : scanner.thread_summaries()) {
        Ref item =
            Ref::steal(Py_BuildValue("(KNKNdd)", static_cast<unsigned long long>(thread.native_id), text(thread.name),
                                     static_cast<unsigned long long>(thread.record_count),
                                     PyBool_FromLong(thread.has_time), thread.first_timestamp, thread.last_timestamp));
        if (!item || PyList_Append(threads.get(), item.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(OONK)", fields.get(), threads.get(), PyBool_FromLong(scanner.value_forms_seen),
                         static_cast<unsigned long long>(scanner.record_count));
}

PyObject* end_part(PyObject* self_object, PyObject*) {
    ExportObject* self = as_export(self_object);
    if (current(self) == nullptr) return nullptr;
    self->in_part = false;
    return guarded([&]() -> PyObject* {
        if (self->writing) {
            self->writer->end_part();
            Py_RETURN_NONE;
        }
        self->survey->end_part();
        return survey_result(self->survey->scanner());
    });
}

bool bytes_of(PyObject* object, std::string& out) {
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

// plan_part(legacy, endings, enclosing): what a survey of the next part
// would find, taken from the call index instead. endings are (row id,
// returned, has values, encoded return value); enclosing (thread, name,
// path, file, frame id, has values, encoded return value, start), in
// document order; the texts as bytes.
PyObject* plan_part(PyObject* self_object, PyObject* args) {
    ExportObject* self = as_export(self_object);
    int legacy;
    PyObject* endings;
    PyObject* enclosing;
    if (!PyArg_ParseTuple(args, "pOO:plan_part", &legacy, &endings, &enclosing)) return nullptr;
    if (self->writer != nullptr || self->in_part) {
        PyErr_SetString(PyExc_RuntimeError, "parts are planned before the output starts");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        PartSurvey part;
        part.legacy = legacy != 0;
        Ref ending_items = Ref::steal(PySequence_Fast(endings, "endings is a sequence"));
        if (!ending_items) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(ending_items.get()); ++i) {
            long long id;
            int returned, values;
            PyObject* arg;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(ending_items.get(), i), "LppO", &id, &returned, &values,
                                  &arg)) {
                return nullptr;
            }
            Ending& ending = part.endings[id];
            ending.returned = returned != 0;
            ending.has_values = values != 0;
            if (!bytes_of(arg, ending.arg)) return nullptr;
        }
        Ref enclosing_items = Ref::steal(PySequence_Fast(enclosing, "enclosing is a sequence"));
        if (!enclosing_items) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(enclosing_items.get()); ++i) {
            unsigned long long thread;
            PyObject *name, *path, *file, *frame_id, *arg;
            int values;
            double start;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(enclosing_items.get(), i), "KOOOOpOd", &thread, &name, &path,
                                  &file, &frame_id, &values, &arg, &start)) {
                return nullptr;
            }
            Enclosing& frame = part.enclosing[thread].emplace_back();
            if (!bytes_of(name, frame.name) || !bytes_of(path, frame.path) || !bytes_of(file, frame.file) ||
                !bytes_of(frame_id, frame.frame_id) || !bytes_of(arg, frame.arg)) {
                return nullptr;
            }
            // assign(count, char): GCC 12 misreads assigning a short literal as an overlapping copy.
            if (frame.path.empty()) frame.path.assign(1, '?');
            frame.has_values = values != 0;
            frame.start = start;
        }
        self->survey->parts.push_back(std::move(part));
        Py_RETURN_NONE;
    });
}

// start_output(fd, origin, threads, head): threads are (native id, label,
// start µs, end µs) in the order written; head is written first.
PyObject* start_output(PyObject* self_object, PyObject* args) {
    ExportObject* self = as_export(self_object);
    int fd;
    double origin;
    PyObject* threads;
    const char* head;
    Py_ssize_t head_size;
    if (!PyArg_ParseTuple(args, "idOs#:start_output", &fd, &origin, &threads, &head, &head_size)) return nullptr;
    if (self->writer != nullptr || self->in_part) {
        PyErr_SetString(PyExc_RuntimeError, "the output is already started");
        return nullptr;
    }
    std::vector<ThreadPlan> plans;
    Ref items = Ref::steal(PySequence_Fast(threads, "threads is a sequence"));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        unsigned long long native_id;
        const char* label;
        Py_ssize_t label_size;
        ThreadPlan plan;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i), "Ks#dd", &native_id, &label, &label_size,
                              &plan.start_us, &plan.end_us)) {
            return nullptr;
        }
        plan.native_id = native_id;
        plan.label.assign(label, static_cast<std::size_t>(label_size));
        plans.push_back(std::move(plan));
    }
    return guarded([&]() -> PyObject* {
        self->writer = new Writer(self->format, *self->survey, fd, origin, std::move(plans));
        self->writing = true;
        self->writer->write(std::string_view(head, static_cast<std::size_t>(head_size)));
        Py_RETURN_NONE;
    });
}

// finish_output(tail): the threads copied out, then tail; all flushed.
PyObject* finish_output(PyObject* self_object, PyObject* args) {
    ExportObject* self = as_export(self_object);
    const char* tail;
    Py_ssize_t tail_size;
    if (!PyArg_ParseTuple(args, "s#:finish_output", &tail, &tail_size)) return nullptr;
    if (self->writer == nullptr || self->in_part) {
        PyErr_SetString(PyExc_RuntimeError, "no output to finish");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        self->writer->finish();
        self->writer->write(std::string_view(tail, static_cast<std::size_t>(tail_size)));
        self->writer->flush();
        Py_RETURN_NONE;
    });
}

PyObject* export_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"format", "long_span", nullptr};
    const char* format;
    unsigned long long long_span = 1 << 20;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|K:TraceExport", const_cast<char**>(keywords), &format,
                                     &long_span)) {
        return nullptr;
    }
    const std::string_view name(format);
    if (name != "chrome" && name != "speedscope") {
        PyErr_Format(PyExc_ValueError, "no export format %R", PyTuple_GET_ITEM(args, 0));
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ExportObject* object = as_export(self.get());
    object->format = name == "chrome" ? Format::chrome : Format::speedscope;
    try {
        object->survey = new Survey(long_span);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void export_dealloc(PyObject* self) {
    ExportObject* object = as_export(self);
    delete object->writer;
    delete object->survey;
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef export_methods[] = {
    {"begin_part", begin_part, METH_NOARGS,
     "begin_part()\n--\n\nThe next part's bytes follow (surveyed until start_output, then written)."},
    {"feed", feed, METH_O, "feed(data, /)\n--\n\nThe part's next bytes."},
    {"end_part", end_part, METH_NOARGS,
     "end_part()\n--\n\nThe part is complete; when surveying, what it holds:\n"
     "(fields, threads, value_forms_seen, record_count)."},
    {"plan_part", plan_part, METH_VARARGS,
     "plan_part(legacy, endings, enclosing, /)\n--\n\nThe next part's survey, found elsewhere (the call index)."},
    {"start_output", start_output, METH_VARARGS,
     "start_output(fd, origin, threads, head, /)\n--\n\nWrite to fd from now on, head first."},
    {"finish_output", finish_output, METH_VARARGS,
     "finish_output(tail, /)\n--\n\nWrite what waits, then tail, and flush."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot export_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(export_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(export_dealloc)},
    {Py_tp_methods, export_methods},
    {Py_tp_doc, const_cast<char*>("TraceExport(format, long_span=1 MiB)\n--\n\n"
                                  "Writes a trace as Chrome Trace Event JSON or speedscope, read twice in pieces.")},
    {0, nullptr},
};

PyType_Spec export_type_def = {
    "nefa._native.TraceExport", sizeof(ExportObject), 0, Py_TPFLAGS_DEFAULT, export_slots,
};

}  // namespace

int add_trace_export(PyObject* module) {
    Ref type = Ref::steal(PyType_FromSpec(&export_type_def));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "TraceExport", type.get());
}

PyObject* brief_value(PyObject*, PyObject* args) {
    Py_buffer view;
    Py_ssize_t width;
    int legacy = 0;
    if (!PyArg_ParseTuple(args, "y*n|p:brief_value", &view, &width, &legacy)) return nullptr;
    std::string shown;
    try {
        shown = brief(std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)),
                      static_cast<std::size_t>(std::max<Py_ssize_t>(width, 1)), legacy != 0);
    } catch (const std::bad_alloc&) {
        PyBuffer_Release(&view);
        return PyErr_NoMemory();
    }
    PyBuffer_Release(&view);
    return PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "replace");
}

}  // namespace nefa::trace_export
