#include "utils/thread_identity.hpp"

#include "common/compat.hpp"
#include "filters/code_cache.hpp"
#include "utils/fork_epoch.hpp"
#include "utils/interned.hpp"
#include "utils/text.hpp"

namespace nefa {

ThreadIdentity current_thread() {
    const Names& n = names();
    Ref threading = import_module(n.mod_threading);
    Ref thread = Ref::require(PyObject_CallMethodNoArgs(threading.get(), n.current_thread));
    Ref name = Ref::require(PyObject_GetAttr(thread.get(), n.name));
    ThreadIdentity identity;
    identity.name = extract_string(name.get());
    Ref native_id = Ref::require(PyObject_GetAttr(thread.get(), n.native_id));
    identity.native_id = extract_unsigned(native_id.get());
    // threading does not renew native_id in a forked child before 3.12;
    // the system's answer for the calling thread is right everywhere.
    if (fork_epoch() != 0) identity.native_id = PyThread_get_thread_native_id();
    return identity;
}

namespace {

int line_or_type_error(int line) {
    if (line < 0) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object cannot be interpreted as an integer");
        throw PyErrOccurred{};
    }
    return line;
}

}  // namespace

int frame_line_number(PyFrameObject* frame) { return line_or_type_error(cached_line_number(frame)); }

int frame_line_number(PyFrameObject* frame, PyObject* code, CodeInfo* info) {
    return line_or_type_error(cached_line_number(frame, code, info));
}

int frame_line_number(const compat::RunningFrame& frame, CodeInfo* info) {
    return line_or_type_error(cached_line_number(frame.frame, frame.lasti, frame.code, info, frame.thread));
}

namespace {

// The line of the entry's frame now, through the line it had at the same
// instruction last time. `thread` is the calling thread's state when the
// caller has it (may be null).
template <class LookUp>
int entry_line(const CallFrameEntry& entry, int lasti, PyThreadState* thread, LookUp&& look_up) {
    // Under a trace function the line may move without the instruction.
    if (lasti >= 0 && lasti == entry.line_lasti &&
        !(thread != nullptr ? compat::thread_is_traced(thread) : compat::thread_is_traced())) {
        return entry.line;
    }
    const int line = look_up();
    entry.line_lasti = lasti;
    entry.line = line;
    return line;
}

// The entry's frame's current instruction if it is still running below
// the event's frame; -2 when that cannot be shown.
int lasti_if_running(const CallFrameEntry& entry, const FrameHandle& current) {
    const compat::RunningFrame* now = current.running();
    if (now == nullptr) return -2;
    return compat::lasti_if_running_below(now->frame, entry.running, entry.code.get(), entry.below);
}

}  // namespace

std::optional<CallSite> user_code_call_site(std::span<const CallFrameEntry> snapshot, const FrameId* frame_id,
                                            const FrameHandle& current) {
    if (frame_id == nullptr) return std::nullopt;
    const CallFrameEntry* chosen = nullptr;
    for (std::size_t looked = 0; looked < 2 && looked < snapshot.size(); ++looked) {
        const CallFrameEntry& entry = snapshot[snapshot.size() - 1 - looked];
        if (!(entry.frame_id == *frame_id)) {
            chosen = &entry;
            break;
        }
    }
    if (chosen == nullptr) return std::nullopt;
    CallSite site;
    site.call_frame_id = chosen->frame_id;
    if (!chosen->frame) {
        const int lasti = lasti_if_running(*chosen, current);
        if (lasti == -2) {
            // Its frame returned unseen (or runs on another stack): what
            // was last known of it, never its reused memory.
            if (chosen->line_lasti < 0) return std::nullopt;
            site.line_number = chosen->line;
            return site;
        }
        // Running below the event's frame: on the same thread.
        PyThreadState* thread = current.running()->thread;
        site.line_number = entry_line(*chosen, lasti, thread, [&] {
            return line_or_type_error(
                cached_line_number(chosen->running, lasti, chosen->code.get(), chosen->info, thread));
        });
        return site;
    }
    if (!PyFrame_Check(chosen->frame.get()) || Py_TYPE(chosen->frame.get()) != &PyFrame_Type) {
        throw_downcast_error(chosen->frame.get(), "PyFrame");
    }
    auto* frame = reinterpret_cast<PyFrameObject*>(chosen->frame.get());
    const compat::RunningFrame* running = current.running();
    PyThreadState* thread = running != nullptr ? running->thread : nullptr;
    site.line_number =
        entry_line(*chosen, compat::frame_lasti(frame), thread, [&] { return frame_line_number(frame); });
    return site;
}

}  // namespace nefa
