// The interpreter's entry into the profiler for every profile event.
#include "profiler/nefa_profiler.hpp"
#include "profiler/operations.hpp"
#include "utils/errors.hpp"

namespace nefa {

// Called by the interpreter with the interpreter lock held. Returns 0, or -1
// with an exception set only when the event cannot reach the profiler at all.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    Event event;
    if (what == PyTrace_CALL) {
        event = Event::call;
    } else if (what == PyTrace_RETURN) {
        event = Event::return_;
    } else {
        return 0;
    }
    if (obj == nullptr || frame == nullptr) {
        ensure_error_set();
        return -1;
    }
    // Whatever was pending before us is the traced program's business: keep it.
    PendingError pending = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
    const int status = guarded(
        [&]() -> int {
            Ref self_ref = Ref::borrow(obj);
            NefaProfilerObject* self = downcast_profiler(obj);
            SharedBorrow borrow(self);
            Ref frame_ref = Ref::borrow(reinterpret_cast<PyObject*>(frame));
            profile(self, frame, event, Ref::borrow(arg != nullptr ? arg : Py_None));
            return 0;
        },
        -1);
    if (status == 0) {
        pending.restore();
    }
    return status;
}

}  // namespace nefa
