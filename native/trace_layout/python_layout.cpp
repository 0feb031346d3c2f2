#include "trace_layout/python_layout.hpp"

#include "trace_index/sqlite_api.hpp"
#include "trace_layout/json.hpp"
#include "trace_layout/walk.hpp"
#include "utils/refs.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace nefa::trace_layout {

namespace {

Ref text(const std::string& json) { return Ref::require(PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()))); }

Ref id_list(std::vector<long long>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    Ref list = Ref::require(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Require(PyLong_FromLongLong(ids[i])));
    }
    return list;
}

}  // namespace

PyObject* layout_window(PyObject*, PyObject* args) {
    PyObject* connection;
    Query query{};
    long long offset;
    int micros, parallel;
    if (!PyArg_ParseTuple(args, "OLLiiLLdLLpp:layout_window", &connection, &query.key, &query.thread,
                          &query.first_depth, &query.last_depth, &query.t0, &query.t1, &query.px, &query.most,
                          &offset, &micros, &parallel)) {
        return nullptr;
    }
    if (!(query.px > 0)) {
        PyErr_SetString(PyExc_ValueError, "px must be positive");
        return nullptr;
    }
    sqlite3* db = sqlite::handle(connection);
    if (db == nullptr) Py_RETURN_NONE;
    Window window;
    std::string error;
    bool done = false, no_memory = false;
    // Without the interpreter lock, as sqlite3 steps its statements: the
    // caller, which owns the connection, waits here meanwhile.
    Py_BEGIN_ALLOW_THREADS
    try {
        done = walk(db, query, parallel != 0, window, error);
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
        return Require(Py_BuildValue("(OOOOL)", rows.get(), events.get(), name_ids.get(), path_ids.get(),
                                     window.visited));
    } catch (const PyErrOccurred&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace nefa::trace_layout
