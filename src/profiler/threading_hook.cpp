// Threads started later: the threading module installs our bound method as
// their first profile function, and it hands each thread to the native hook.
#include "profiler/monitoring_engine.hpp"
#include "profiler/operations.hpp"
#include "utils/arguments.hpp"
#include "utils/errors.hpp"

namespace nefa {

// Runs on the new thread with the interpreter lock held; touches no
// profiler state, only this thread's profile function.
PyObject* method_register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    return guarded(
        [&]() -> PyObject* {
            static constexpr const char* parameters[] = {"_frame", "_event", "_arg"};
            PyObject* values[3];
            parse_arguments("register_threading_profiler", parameters, args, nargs, kwnames, values);
            SharedBorrow borrow(downcast_profiler(self));
            if (borrow.state().engine == Engine::monitoring) {
                // sys.monitoring already delivers this thread's events: say
                // they are to be recorded, and drop the Python-level hook.
                monitor_this_thread(self);
                PyEval_SetProfile(nullptr, nullptr);
            } else {
                PyEval_SetProfile(profile_callback, self);
            }
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace nefa
