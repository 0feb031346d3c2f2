// The interpreter's entry into the profiler for every profile event.
#include "filters/code_cache.hpp"
#include "profiler/nefa_profiler.hpp"
#include "profiler/operations.hpp"
#include "utils/compat.hpp"
#include "utils/errors.hpp"

namespace nefa {

namespace {

// Whether the event can end here: its code is filtered out and no plugin
// wants it. Decided per code object, so this is the whole cost of most
// events in a real program. Runs no Python code.
bool nothing_to_do(NefaProfilerObject* self, PyFrameObject* frame) noexcept {
    try {
        Ref code = compat::frame_code(frame);
        const CodeView view = describe_code(code.get(), *self->state);
        return view.verdict == CodeVerdict::skip && view.processors == nullptr;
    } catch (...) {
        // Let the full path meet the failure again and report it.
        PyErr_Clear();
        return false;
    }
}

}  // namespace

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
    const bool error_pending = PyErr_Occurred() != nullptr;
    if (!error_pending && Py_IS_TYPE(obj, nefa_profiler_type()) &&
        nothing_to_do(reinterpret_cast<NefaProfilerObject*>(obj), frame)) {
        return 0;
    }
    // Whatever was pending before us is the traced program's business: keep it.
    PendingError pending = error_pending ? PendingError::fetch() : PendingError{};
    const int status = guarded(
        [&]() -> int {
            // Our own references: the host's Python code, run during the
            // event, may replace the profile function and drop the interpreter's.
            Ref self_ref = Ref::borrow(obj);
            NefaProfilerObject* self = downcast_profiler(obj);
            SharedBorrow borrow(self);
            Ref frame_ref = Ref::borrow(reinterpret_cast<PyObject*>(frame));
            profile(self, frame, event, Ref::borrow(arg != nullptr ? arg : Py_None));
            return 0;
        },
        -1);
    if (status == 0) pending.restore();
    return status;
}

}  // namespace nefa
