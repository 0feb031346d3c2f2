// The interpreter's entry into the profiler for every profile event.
#include "common/compat.hpp"
#include "filters/code_cache.hpp"
#include "profiler/nefa_profiler.hpp"
#include "profiler/operations.hpp"
#include "utils/errors.hpp"

namespace nefa {

namespace {

// Everything but the common case, kept out of line so that the common case
// pays for no stack frame of its own.
[[gnu::noinline]] int handle_event(PyObject* obj, PyFrameObject* frame, Event event, PyObject* arg, CodeInfo* info,
                                   const CodeDecision* decided) {
    if (obj == nullptr || frame == nullptr) {
        ensure_error_set();
        return -1;
    }
    // Whatever was pending before us is the traced program's business: keep it.
    PendingError pending = PyErr_Occurred() ? PendingError::fetch() : PendingError{};
    const int status = guarded(
        [&]() -> int {
            // Our own references: the host's Python code, run during the
            // event, may replace the profile function and drop the interpreter's.
            Ref self_ref = Ref::borrow(obj);
            NefaProfilerObject* self = downcast_profiler(obj);
            SharedBorrow borrow(self);
            Ref frame_ref = Ref::borrow(reinterpret_cast<PyObject*>(frame));
            FrameHandle handle = FrameHandle::of_object(frame);
            (void)profile(self, handle, nullptr, event, arg != nullptr ? arg : Py_None, info, decided);
            return 0;
        },
        -1);
    if (status == 0) pending.restore();
    return status;
}

}  // namespace

// Called by the interpreter with the interpreter lock held. Returns 0, or -1
// with an exception set only when the event cannot reach the profiler at all.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
    // The common case, decided once per code object: a filtered frame that
    // no plugin wants. The interpreter keeps the frame's code alive for us.
    CodeInfo* info = nullptr;
    const CodeDecision* decided = nullptr;
    if (obj != nullptr && frame != nullptr && Py_TYPE(obj) == the_nefa_profiler_type) {
        PyCodeObject* code = PyFrame_GetCode(frame);
        info = existing_code_info(reinterpret_cast<PyObject*>(code));
        ProfilerState& state = *reinterpret_cast<NefaProfilerObject*>(obj)->state;
        decided = cached_decision(info, state.serial);
        Ref release = Ref::steal(reinterpret_cast<PyObject*>(code));
        if (decided != nullptr && decided->skipped()) return 0;
        if (counted_past_cut(state, decided)) return 0;
    }
    return handle_event(obj, frame, what == PyTrace_CALL ? Event::call : Event::return_, arg, info, decided);
}

}  // namespace nefa
