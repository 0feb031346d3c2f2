// nefa._native.TraceScanner: the scanner of scanner.hpp as Python sees it.
// Rows leave it in batches, with the ids the database gave its names and
// paths: to a writer thread on the connection's own SQLite handle, or as
// tuples ready for executemany where that handle cannot be used.
#include "host/trace_index/python_scanner.hpp"

#include "common/refs.hpp"
#include "host/trace_index/row_writer.hpp"
#include "host/trace_index/scanner.hpp"
#include "host/trace_index/sqlite_rows.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

namespace nefa::trace_index {

namespace {

// The rows' writer thread and the connection it writes on, kept alive meanwhile.
struct Writing {
    Ref connection;
    std::unique_ptr<RowWriter> writer;
    long long id_base;
};

struct ScannerObject {
    PyObject_HEAD
    Scanner* scanner;
    bool busy;  // feed runs without the interpreter lock: no second caller meanwhile
    std::size_t names_given;
    std::size_t paths_given;
    std::vector<long long>* name_ids;
    std::vector<long long>* path_ids;
    std::vector<Ref>* kind_texts;
    Writing* writing;  // null unless start_writer started one
    // The part's lanes, from batch to batch; and, for take_lanes, the
    // blocks that take_rows completed.
    LaneBuilder* lanes;
    LaneOut* lane_out;
    NameBlockBuilder* names;  // the part's name blocks, from batch to batch, for the native writers
};

ScannerObject* as_scanner(PyObject* self) { return reinterpret_cast<ScannerObject*>(self); }

PyObject* raise_corrupt(const Corrupt& error) {
    PyErr_Format(PyExc_ValueError, "at byte %llu: %s", static_cast<unsigned long long>(error.offset),
                 error.cause.c_str());
    return nullptr;
}

bool usable(ScannerObject* self) {
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the scanner is in use by another thread");
        return false;
    }
    return true;
}

// Interpreter lock held on entry and exit; released while parsing.
PyObject* feed(PyObject* self_object, PyObject* data) {
    ScannerObject* self = as_scanner(self_object);
    if (!usable(self)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    std::optional<Corrupt> failure;
    bool no_memory = false;
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        self->scanner->feed(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len));
    } catch (const Corrupt& error) {
        failure = error;
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    self->busy = false;
    PyBuffer_Release(&view);
    if (failure) return raise_corrupt(*failure);
    if (no_memory) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// Interpreter lock held.
PyObject* finish(PyObject* self_object, PyObject*) {
    ScannerObject* self = as_scanner(self_object);
    if (!usable(self)) return nullptr;
    try {
        self->scanner->finish();
    } catch (const Corrupt& error) {
        return raise_corrupt(error);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* texts_since(const Interner& interner, std::size_t& given) {
    const auto& texts = interner.texts();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (; given < texts.size(); ++given) {
        Ref text = Ref::steal(
            PyUnicode_DecodeUTF8(texts[given].data(), static_cast<Py_ssize_t>(texts[given].size()), "replace"));
        if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
    }
    return list.release();
}

// Interpreter lock held.
PyObject* new_names(PyObject* self, PyObject*) {
    if (!usable(as_scanner(self))) return nullptr;
    return texts_since(as_scanner(self)->scanner->names, as_scanner(self)->names_given);
}

// Interpreter lock held.
PyObject* new_paths(PyObject* self, PyObject*) {
    if (!usable(as_scanner(self))) return nullptr;
    return texts_since(as_scanner(self)->scanner->paths, as_scanner(self)->paths_given);
}

PyObject* extend_ids(std::vector<long long>& ids, PyObject* sequence) {
    Ref items = Ref::steal(PySequence_Fast(sequence, "the ids are a sequence of int"));
    if (!items) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long long id = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (id == -1 && PyErr_Occurred()) return nullptr;
        ids.push_back(id);
    }
    Py_RETURN_NONE;
}

// Interpreter lock held.
PyObject* map_names(PyObject* self, PyObject* ids) { return extend_ids(*as_scanner(self)->name_ids, ids); }
PyObject* map_paths(PyObject* self, PyObject* ids) { return extend_ids(*as_scanner(self)->path_ids, ids); }

PyObject* integer_or_none(long long value, bool present) {
    if (!present) Py_RETURN_NONE;
    return PyLong_FromLongLong(value);
}

bool rows_mapped(ScannerObject* self, const char* method) {
    for (const Row& row : self->scanner->rows) {
        if (row.name >= self->name_ids->size() || (row.path != no_id && row.path >= self->path_ids->size())) {
            PyErr_Format(PyExc_RuntimeError, "%s before the names and paths were mapped", method);
            return false;
        }
    }
    return true;
}

PyObject* raise_not_indexed(const std::optional<std::string>& error) {
    PyErr_Format(PyExc_RuntimeError, "cannot index the calls: %s", error ? error->c_str() : "the writer stopped");
    return nullptr;
}

// Interpreter lock held. take_rows(trace_key, part_index, id_base): the rows
// made since the last call, as tuples in the column order of `calls`.
PyObject* take_rows(PyObject* self_object, PyObject* args) {
    ScannerObject* self = as_scanner(self_object);
    if (!usable(self)) return nullptr;
    long long trace_key, part_index, id_base;
    if (!PyArg_ParseTuple(args, "LLL:take_rows", &trace_key, &part_index, &id_base)) return nullptr;
    Scanner& scanner = *self->scanner;
    const auto& name_ids = *self->name_ids;
    const auto& path_ids = *self->path_ids;
    auto& kinds = *self->kind_texts;
    Ref key = Ref::steal(PyLong_FromLongLong(trace_key));
    Ref part = Ref::steal(PyLong_FromLongLong(part_index));
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scanner.rows.size())));
    if (!key || !part || !list) return nullptr;
    // Rows complete as their calls return, innermost first; in id order
    // they go into the table's B-tree at its end.
    std::sort(scanner.rows.begin(), scanner.rows.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
    Py_ssize_t index = 0;
    for (const Row& row : scanner.rows) {
        if (row.name >= name_ids.size() || (row.path != no_id && row.path >= path_ids.size())) {
            PyErr_SetString(PyExc_RuntimeError, "take_rows before the names and paths were mapped");
            return nullptr;
        }
        PyObject* kind = Py_None;
        if (row.kind >= 0) {
            const auto k = static_cast<std::size_t>(row.kind);
            while (kinds.size() <= k) {
                const std::string_view text = scanner.kinds.texts()[kinds.size()];
                kinds.push_back(
                    Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
                if (!kinds.back()) {
                    kinds.pop_back();
                    return nullptr;
                }
            }
            kind = kinds[k].get();
        }
        PyObject* items[] = {
            Py_NewRef(key.get()),
            Py_NewRef(part.get()),
            PyLong_FromLongLong(id_base + row.id),
            PyLong_FromUnsignedLongLong(row.thread),
            integer_or_none(id_base + row.parent, row.parent >= 0),
            PyLong_FromUnsignedLong(row.depth),
            PyLong_FromLongLong(row.start_ns),
            PyLong_FromLongLong(row.duration_ns),
            PyLong_FromLongLong(row.self_ns),
            PyLong_FromLongLong(name_ids[row.name]),
            integer_or_none(row.path == no_id ? 0 : path_ids[row.path], row.path != no_id),
            integer_or_none(row.line, row.line >= 0),
            Py_NewRef(kind),
            PyLong_FromLong(row.resumed ? 1 : 0),
            PyLong_FromLong(row.flags),
            integer_or_none(row.call_offset, row.call_offset >= 0),
            integer_or_none(row.call_length, row.call_offset >= 0),
            integer_or_none(row.return_offset, row.return_offset >= 0),
            integer_or_none(row.return_length, row.return_offset >= 0),
        };
        constexpr Py_ssize_t width = sizeof items / sizeof items[0];
        Ref tuple = Ref::steal(PyTuple_New(width));
        bool failed = !tuple;
        for (Py_ssize_t i = 0; i < width; ++i) {
            if (items[i] == nullptr) failed = true;
            if (tuple) PyTuple_SET_ITEM(tuple.get(), i, items[i]);  // steals, null included
            else Py_XDECREF(items[i]);
        }
        if (failed) return nullptr;
        PyList_SET_ITEM(list.get(), index++, tuple.release());
    }
    try {
        add_frames(scanner.rows, id_base, *self->lanes, *self->lane_out);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    scanner.rows.clear();
    return list.release();
}

// Interpreter lock held. take_lanes(trace_key, part_index): the lane blocks
// the rows taken so far completed (all the open ones too once the document
// is finished), as tuples in the column order of `call_lanes`.
PyObject* take_lanes(PyObject* self_object, PyObject* args) {
    ScannerObject* self = as_scanner(self_object);
    if (!usable(self)) return nullptr;
    long long trace_key, part_index;
    if (!PyArg_ParseTuple(args, "LL:take_lanes", &trace_key, &part_index)) return nullptr;
    LaneOut& out = *self->lane_out;
    try {
        if (self->scanner->finished) self->lanes->flush(out);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const LaneBlock& block : out.blocks) {
        const auto* bytes = reinterpret_cast<const char*>(out.bytes.data() + block.bytes_at);
        const auto size = static_cast<Py_ssize_t>(block.count) * 8;
        Ref item = Ref::steal(
            Py_BuildValue("(LLkLLLLky#y#)", trace_key, static_cast<long long>(block.thread),
                          static_cast<unsigned long>(block.depth), part_index, static_cast<long long>(block.last_end),
                          static_cast<long long>(block.first_id), static_cast<long long>(block.first_end),
                          static_cast<unsigned long>(block.count), bytes, size, bytes + size, size));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    out.clear();
    return list.release();
}

// Interpreter lock held. insert_rows(connection, trace_key, part_index,
// id_base): writes the rows made since the last call into `calls` on the
// connection, in its open transaction, with the lane blocks they complete
// (and, once the document is finished, the rest); True when done, False
// (rows kept) when this connection cannot be written to directly:
// take_rows and take_lanes then.
PyObject* insert_rows_method(PyObject* self_object, PyObject* args) {
    ScannerObject* self = as_scanner(self_object);
    if (!usable(self)) return nullptr;
    PyObject* connection;
    long long trace_key, part_index, id_base;
    if (!PyArg_ParseTuple(args, "OLLL:insert_rows", &connection, &trace_key, &part_index, &id_base)) return nullptr;
    if (!rows_mapped(self, "insert_rows")) return nullptr;
    Scanner& scanner = *self->scanner;
    std::sort(scanner.rows.begin(), scanner.rows.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
    bool failed = false;
    const RowIds ids{trace_key, part_index, id_base, self->name_ids, self->path_ids};
    try {
        if (!insert_rows(connection, scanner.rows, scanner.kinds.texts(), ids, *self->lanes, *self->names,
                         scanner.finished, failed)) {
            if (failed) return nullptr;
            Py_RETURN_FALSE;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    scanner.rows.clear();
    Py_RETURN_TRUE;
}

// Interpreter lock held. start_writer(connection, trace_key, part_index,
// id_base): from now on submit_rows hands the rows to a thread that writes
// them on the connection, in its open transaction. False when this
// connection cannot be written to directly (take_rows then).
PyObject* start_writer(PyObject* self_object, PyObject* args) {
    ScannerObject* self = as_scanner(self_object);
    if (!usable(self)) return nullptr;
    PyObject* connection;
    long long trace_key, part_index, id_base;
    if (!PyArg_ParseTuple(args, "OLLL:start_writer", &connection, &trace_key, &part_index, &id_base)) return nullptr;
    if (self->writing != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the writer is already started");
        return nullptr;
    }
    sqlite3* db = usable_handle(connection);
    if (db == nullptr || !serialized(db)) Py_RETURN_FALSE;
    try {
        auto writing = std::make_unique<Writing>();
        writing->connection = Ref::borrow(connection);
        writing->writer = std::make_unique<RowWriter>(db, trace_key, part_index, id_base);
        writing->id_base = id_base;
        self->writing = writing.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::system_error& error) {
        PyErr_Format(PyExc_RuntimeError, "cannot start the index writer: %s", error.what());
        return nullptr;
    }
    Py_RETURN_TRUE;
}

// Interpreter lock held on entry and exit; released while the queue is full.
// Hands the rows made since the last call to the writer.
PyObject* submit_rows(PyObject* self_object, PyObject*) {
    ScannerObject* self = as_scanner(self_object);
    if (!usable(self)) return nullptr;
    if (self->writing == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "submit_rows before start_writer");
        return nullptr;
    }
    if (!rows_mapped(self, "submit_rows")) return nullptr;
    Scanner& scanner = *self->scanner;
    // Once the document is finished, the lanes' and names' open blocks go too.
    const bool done = scanner.finished;
    if (scanner.rows.empty() && (!done || (self->lanes->empty() && self->names->empty()))) Py_RETURN_NONE;
    RowWriter& writer = *self->writing->writer;
    bool queued = false;
    try {
        std::sort(scanner.rows.begin(), scanner.rows.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
        const RowIds ids{0, 0, self->writing->id_base, self->name_ids, self->path_ids};
        Batch batch = make_batch(std::move(scanner.rows), scanner.kinds.texts(), ids, *self->lanes, *self->names, done);
        // The batch took the rows' room: the next batch's rows are about as many.
        scanner.rows.clear();
        scanner.rows.reserve(batch.rows.size());
        self->busy = true;
        Py_BEGIN_ALLOW_THREADS
        queued = writer.submit(std::move(batch));
        Py_END_ALLOW_THREADS
        self->busy = false;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!queued) return raise_not_indexed(writer.error());
    Py_RETURN_NONE;
}

// Interpreter lock held on entry and exit; released while the thread ends.
// finish_writer(): waits until every row is written. stop_writer(): drops
// what is not written yet (the caller rolls back).
PyObject* end_writer(ScannerObject* self, bool wait) {
    if (!usable(self)) return nullptr;
    std::unique_ptr<Writing> writing(std::exchange(self->writing, nullptr));
    if (!writing) {
        if (wait) PyErr_SetString(PyExc_RuntimeError, "finish_writer before start_writer");
        if (wait) return nullptr;
        Py_RETURN_NONE;
    }
    bool written = true;
    std::optional<std::string> error;
    RowWriter* writer = writing->writer.get();
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    if (wait) {
        written = writer->finish();
        error = writer->error();
    }
    writing->writer.reset();
    Py_END_ALLOW_THREADS
    self->busy = false;
    if (!written) return raise_not_indexed(error);
    Py_RETURN_NONE;
}

PyObject* finish_writer(PyObject* self, PyObject*) { return end_writer(as_scanner(self), true); }
PyObject* stop_writer(PyObject* self, PyObject*) { return end_writer(as_scanner(self), false); }

// Interpreter lock held: forgets the rows made so far (a scan for figures only).
PyObject* drop_rows(PyObject* self, PyObject*) {
    if (!usable(as_scanner(self))) return nullptr;
    as_scanner(self)->scanner->rows.clear();
    Py_RETURN_NONE;
}

// Interpreter lock held.
PyObject* threads(PyObject* self, PyObject*) {
    if (!usable(as_scanner(self))) return nullptr;
    const auto summaries = as_scanner(self)->scanner->thread_summaries();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const ThreadSummary& t : summaries) {
        Ref item = Ref::steal(Py_BuildValue(
            "(KNKKLLd)", static_cast<unsigned long long>(t.native_id),
            PyUnicode_DecodeUTF8(t.name.data(), static_cast<Py_ssize_t>(t.name.size()), "replace"),
            static_cast<unsigned long long>(t.record_count), static_cast<unsigned long long>(t.call_count),
            static_cast<long long>(t.start_ns), static_cast<long long>(t.end_ns), t.last_timestamp));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

// Interpreter lock held: (name id, path id or 0, calls, total ns, self ns)
// per function, with the ids given by map_names and map_paths.
PyObject* stats(PyObject* self_object, PyObject*) {
    ScannerObject* self = as_scanner(self_object);
    if (!usable(self)) return nullptr;
    const auto all = self->scanner->function_stats();
    const auto& name_ids = *self->name_ids;
    const auto& path_ids = *self->path_ids;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const FunctionStats& s : all) {
        if (s.name >= name_ids.size() || (s.path != no_id && s.path >= path_ids.size())) {
            PyErr_SetString(PyExc_RuntimeError, "stats before the names and paths were mapped");
            return nullptr;
        }
        Ref item = Ref::steal(Py_BuildValue("(LLKLL)", name_ids[s.name], s.path == no_id ? 0LL : path_ids[s.path],
                                            static_cast<unsigned long long>(s.calls),
                                            static_cast<long long>(s.total_ns), static_cast<long long>(s.self_ns)));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

// Interpreter lock held: the top-level entries other than the records.
PyObject* fields(PyObject* self, PyObject*) {
    if (!usable(as_scanner(self))) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [key, value] : as_scanner(self)->scanner->fields) {
        Ref item = Ref::steal(
            Py_BuildValue("(Ny#)", PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"),
                          value.data(), static_cast<Py_ssize_t>(value.size())));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* get_record_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_scanner(self)->scanner->record_count);
}

PyObject* get_call_count(PyObject* self, void*) { return PyLong_FromLongLong(as_scanner(self)->scanner->call_count); }

PyObject* get_time_base(PyObject* self, void*) {
    const auto base = as_scanner(self)->scanner->time_base();
    if (!base) Py_RETURN_NONE;
    return PyFloat_FromDouble(*base);
}

PyObject* get_value_forms_seen(PyObject* self, void*) {
    return PyBool_FromLong(as_scanner(self)->scanner->value_forms_seen ? 1 : 0);
}

// Interpreter lock held.
PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"time_base", "strict_time", nullptr};
    PyObject* base = Py_None;
    int strict_time = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Op:TraceScanner", const_cast<char**>(keywords), &base,
                                     &strict_time)) {
        return nullptr;
    }
    std::optional<double> time_base;
    if (base != Py_None) {
        const double value = PyFloat_AsDouble(base);
        if (value == -1.0 && PyErr_Occurred()) return nullptr;
        time_base = value;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ScannerObject* object = as_scanner(self.get());
    try {
        object->scanner = new Scanner(time_base, strict_time != 0);
        object->name_ids = new std::vector<long long>();
        object->path_ids = new std::vector<long long>();
        object->kind_texts = new std::vector<Ref>();
        object->lanes = new LaneBuilder();
        object->lane_out = new LaneOut();
        object->names = new NameBlockBuilder();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return self.release();
}

// Interpreter lock held (the kind texts are Python objects).
void scanner_dealloc(PyObject* self) {
    ScannerObject* object = as_scanner(self);
    if (object->writing != nullptr) {
        std::unique_ptr<Writing> writing(object->writing);
        Py_BEGIN_ALLOW_THREADS
        writing->writer.reset();
        Py_END_ALLOW_THREADS
    }
    delete object->scanner;
    delete object->name_ids;
    delete object->path_ids;
    delete object->kind_texts;
    delete object->lanes;
    delete object->lane_out;
    delete object->names;
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef scanner_methods[] = {
    {"feed", feed, METH_O, "feed(data, /)\n--\n\nScan the document's next bytes (any bytes-like object)."},
    {"finish", finish, METH_NOARGS, "finish()\n--\n\nThe document is complete: close the calls still open."},
    {"new_names", new_names, METH_NOARGS, "new_names()\n--\n\nNames met since the last call, in local-id order."},
    {"new_paths", new_paths, METH_NOARGS, "new_paths()\n--\n\nPaths met since the last call, in local-id order."},
    {"map_names", map_names, METH_O, "map_names(ids, /)\n--\n\nThe database ids of the names new_names gave."},
    {"map_paths", map_paths, METH_O, "map_paths(ids, /)\n--\n\nThe database ids of the paths new_paths gave."},
    {"take_rows", take_rows, METH_VARARGS,
     "take_rows(trace_key, part_index, id_base, /)\n--\n\nThe rows made since the last call, as tuples."},
    {"take_lanes", take_lanes, METH_VARARGS,
     "take_lanes(trace_key, part_index, /)\n--\n\nThe lane blocks the rows taken so far completed, as tuples;"
     " the open ones too once finished."},
    {"insert_rows", insert_rows_method, METH_VARARGS,
     "insert_rows(connection, trace_key, part_index, id_base, /)\n--\n\n"
     "Write the rows made since the last call into calls, on the connection; False: use take_rows."},
    {"start_writer", start_writer, METH_VARARGS,
     "start_writer(connection, trace_key, part_index, id_base, /)\n--\n\n"
     "Write the rows submit_rows hands over on a thread of their own, on the connection; False: use take_rows."},
    {"submit_rows", submit_rows, METH_NOARGS,
     "submit_rows()\n--\n\nHand the rows made since the last call to the writer."},
    {"finish_writer", finish_writer, METH_NOARGS,
     "finish_writer()\n--\n\nWait until the writer has written every row."},
    {"stop_writer", stop_writer, METH_NOARGS,
     "stop_writer()\n--\n\nStop the writer, dropping the rows not written yet."},
    {"drop_rows", drop_rows, METH_NOARGS, "drop_rows()\n--\n\nForget the rows made so far."},
    {"threads", threads, METH_NOARGS,
     "threads()\n--\n\n(native id, name, records, calls, start ns, end ns, last timestamp) per thread."},
    {"stats", stats, METH_NOARGS,
     "stats()\n--\n\n(name id, path id or 0, calls, total ns, self ns) per function, mapped ids."},
    {"fields", fields, METH_NOARGS, "fields()\n--\n\n(key, encoded value) of the document's other entries."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scanner_getset[] = {
    {"record_count", get_record_count, nullptr, "Records scanned.", nullptr},
    {"call_count", get_call_count, nullptr, "Rows made.", nullptr},
    {"time_base", get_time_base, nullptr, "Unix time the rows' start is counted from.", nullptr},
    {"value_forms_seen", get_value_forms_seen, nullptr, "Whether a recorded value holds an extension form.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_getset, scanner_getset},
    {Py_tp_doc, const_cast<char*>("TraceScanner(time_base=None, strict_time=True)\n--\n\n"
                                  "Builds the call index of one trace document fed in pieces.")},
    {0, nullptr},
};

PyType_Spec scanner_type_def = {
    "nefa._native.TraceScanner", sizeof(ScannerObject), 0, Py_TPFLAGS_DEFAULT, scanner_slots,
};

}  // namespace

// Interpreter lock held, at import.
int add_trace_scanner(PyObject* module) {
    Ref type = Ref::steal(PyType_FromSpec(&scanner_type_def));
    if (!type) return -1;
    if (PyModule_AddIntConstant(module, "NAME_BLOCK_IDS", name_block_ids) < 0) return -1;
    if (PyModule_AddIntConstant(module, "LANE_FRAMES", static_cast<long>(lane_frames)) < 0) return -1;
    return PyModule_AddObjectRef(module, "TraceScanner", type.get());
}

}  // namespace nefa::trace_index
