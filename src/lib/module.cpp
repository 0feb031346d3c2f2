// The module nefa._nefa: registration of the profiler as the interpreter's
// profile hook.
#include "profiler/monitoring_engine.hpp"
#include "profiler/nefa_profiler.hpp"
#include "utils/arguments.hpp"
#include "utils/errors.hpp"
#include "utils/interned.hpp"
#include "utils/text.hpp"

namespace nefa {

namespace {

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

// config["threading"] is true (strictly); any failure to tell means no.
bool threading_requested(PyObject* config) {
    Ref key = Ref::require(PyUnicode_FromString("threading"));
    Ref value = Ref::steal(PyObject_GetItem(config, key.get()));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    try {
        return extract_strict_bool(value.get());
    } catch (const PyErrOccurred&) {
        PyErr_Clear();
        return false;
    }
}

// With the interpreter lock held, on the calling thread.
PyObject* register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(
        [&]() -> PyObject* {
            static constexpr const char* parameters[] = {"profiler"};
            PyObject* profiler = nullptr;
            parse_arguments("register_profiler", parameters, args, nargs, kwnames, {&profiler, 1});
            if (PyCallable_Check(profiler) == 0) {
                PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
                throw PyErrOccurred{};
            }
            const Names& n = names();
            std::unique_ptr<ProfilerState> state = new_from_python(profiler);
            const Engine engine = state->engine;
            // Refused before anything is built when another tool holds the id.
            if (engine == Engine::monitoring) ensure_monitoring_free();
            Ref instance = new_nefa_profiler(std::move(state));
            Require(PyObject_SetAttr(profiler, n.rust_profiler, instance.get()));
            if (engine == Engine::monitoring) {
                // This thread's earlier hook (an older profiler's) ends here,
                // as it does when the profile hook is replaced.
                PyEval_SetProfile(nullptr, nullptr);
                start_monitoring(instance.get());
            } else {
                stop_monitoring_this_thread();
                PyEval_SetProfile(profile_callback, instance.get());
            }

            Ref config = Ref::require(PyObject_GetAttr(profiler, n.config));
            if (threading_requested(config.get())) {
                Ref threading = import_module(n.mod_threading);
                Ref hook = Ref::require(PyObject_GetAttr(instance.get(), n.register_threading_profiler));
                Ref result = Ref::require(PyObject_CallMethodOneArg(threading.get(), n.setprofile, hook.get()));
            }
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

// With the interpreter lock held, on the calling thread.
PyObject* register_noop_profiler(PyObject*, PyObject*) {
    return guarded(
        [&]() -> PyObject* {
            PyEval_SetProfile(noop_profile, nullptr);
            stop_monitoring_this_thread();
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef register_noop_profiler_def = {"register_noop_profiler", register_noop_profiler, METH_NOARGS,
                                          "register_noop_profiler()\n--\n\n"};
PyMethodDef register_profiler_def = {"register_profiler",
                                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_profiler)),
                                     METH_FASTCALL | METH_KEYWORDS, "register_profiler(profiler)\n--\n\n"};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_nefa", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first loaded the module; the profiler's process-wide
// caches (interned names, finders, code slots) belong to it alone.
std::int64_t owner_interpreter = -1;
PyObject* the_module = nullptr;

PyObject* create_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) {
        ensure_error_set();
        throw PyErrOccurred{};
    }
    if (owner_interpreter >= 0 && owner_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "nefa._nefa does not support sub-interpreters: it can only be loaded once per process");
        throw PyErrOccurred{};
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    owner_interpreter = id;

    Ref module = Ref::require(PyModule_Create(&module_def));
    Ref module_name = Ref::require(PyUnicode_FromString("_nefa"));
    for (PyMethodDef* def : {&register_noop_profiler_def, &register_profiler_def}) {
        Ref function = Ref::require(PyCFunction_NewEx(def, nullptr, module_name.get()));
        Require(PyModule_AddObjectRef(module.get(), def->ml_name, function.get()));
    }
    Ref all = Ref::require(Py_BuildValue("[ss]", "register_noop_profiler", "register_profiler"));
    Require(PyModule_AddObjectRef(module.get(), "__all__", all.get()));
    names();
    internal_error_type();
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace nefa

PyMODINIT_FUNC PyInit__nefa(void) {
    return nefa::guarded([] { return nefa::create_module(); }, static_cast<PyObject*>(nullptr));
}
