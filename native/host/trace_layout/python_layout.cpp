#include "host/trace_layout/python_layout.hpp"

#include "common/refs.hpp"
#include "host/trace_index/sqlite_api.hpp"
#include "host/trace_layout/json.hpp"
#include "host/trace_layout/walk.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace nefa::trace_layout {

namespace {

Ref text(const std::string& json) {
    return Ref::require(PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size())));
}

Ref id_list(std::vector<long long>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    Ref list = Ref::require(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Require(PyLong_FromLongLong(ids[i])));
    }
    return list;
}

PyObject* run(PyObject* args, Kept* kept) {
    PyObject* connection;
    PyObject* helper_connection;
    Query query{};
    long long offset;
    int micros;
    if (!PyArg_ParseTuple(args, "OOLLiiLLdLLp:layout_window", &connection, &helper_connection, &query.key,
                          &query.thread, &query.first_depth, &query.last_depth, &query.t0, &query.t1, &query.px,
                          &query.most, &offset, &micros)) {
        return nullptr;
    }
    if (!(query.px > 0)) {
        PyErr_SetString(PyExc_ValueError, "px must be positive");
        return nullptr;
    }
    sqlite3* db = sqlite::handle(connection);
    if (db == nullptr) Py_RETURN_NONE;
    sqlite3* helper = helper_connection == Py_None ? nullptr : sqlite::handle(helper_connection);
    Window window;
    std::string error;
    bool done = false, no_memory = false;
    // Without the interpreter lock, as sqlite3 steps its statements: the
    // caller, which owns the connections, waits here meanwhile.
    Py_BEGIN_ALLOW_THREADS
    try {
        done = walk(db, helper, kept, query, window, error);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory) return PyErr_NoMemory();
    if (!done) {
        PyErr_Format(PyExc_RuntimeError, "cannot read the call index: %s", error.c_str());
        return nullptr;
    }
    try {
        std::vector<long long> names, paths;
        for (const Row& row : window.rows) {
            for (const Call& call : row.calls) {
                names.push_back(call.name_id);
                if (call.path_id >= 0) paths.push_back(call.path_id);
            }
        }
        for (const Event& event : window.events) names.push_back(event.name_id);
        const Units units{offset, micros != 0};
        Ref rows = text(rows_json(window, units));
        Ref events = text(events_json(window, units));
        Ref name_ids = id_list(names);
        Ref path_ids = id_list(paths);
        return Require(
            Py_BuildValue("(OOOOL)", rows.get(), events.get(), name_ids.get(), path_ids.get(), window.visited));
    } catch (const PyErrOccurred&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

struct KeptObject {
    PyObject_HEAD
    Kept* kept;
    bool busy;  // walks without the interpreter lock: no second caller meanwhile
};

PyObject* kept_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "WindowLayout() takes no arguments");
        return nullptr;
    }
    Ref self = Ref::require(type->tp_alloc(type, 0));
    auto* object = reinterpret_cast<KeptObject*>(self.get());
    object->kept = new (std::nothrow) Kept();
    if (object->kept == nullptr) return PyErr_NoMemory();
    object->busy = false;
    return self.release();
}

void kept_dealloc(PyObject* self) {
    delete reinterpret_cast<KeptObject*>(self)->kept;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* kept_window(PyObject* self, PyObject* args) {
    auto* object = reinterpret_cast<KeptObject*>(self);
    if (object->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the window layout is in use by another thread");
        return nullptr;
    }
    object->busy = true;
    PyObject* found = run(args, object->kept);
    object->busy = false;
    return found;
}

PyMethodDef kept_methods[] = {
    {"window", kept_window, METH_VARARGS,
     "window(connection, helper, key, thread, first_depth, last_depth, t0, t1, px, most, offset, micros, /)\n--\n\n"
     "As layout_window, answered in part from the rows this object walked before, which it keeps."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kept_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(kept_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kept_dealloc)},
    {Py_tp_methods, kept_methods},
    {Py_tp_doc, const_cast<char*>("The rows of flame chart windows last walked, one a (thread, depth) row.")},
    {0, nullptr},
};

PyType_Spec kept_type_def = {"nefa._native.WindowLayout", sizeof(KeptObject), 0, Py_TPFLAGS_DEFAULT, kept_slots};

}  // namespace

PyObject* layout_window(PyObject*, PyObject* args) { return run(args, nullptr); }

int add_window_layout(PyObject* module) {
    Ref type = Ref::steal(PyType_FromSpec(&kept_type_def));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "WindowLayout", type.get());
}

}  // namespace nefa::trace_layout
