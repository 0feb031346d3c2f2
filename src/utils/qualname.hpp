// Qualified names of the functions frames run: "module.Class.method".
#pragma once

#include "common/refs.hpp"
#include "utils/frame_handle.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace nefa {

// Module name + "." + the code's co_qualname; for code objects without
// co_qualname, the search below. Throws PyErrOccurred when the event must
// fail (globals without "__name__", for example). Requires the interpreter lock.
std::optional<std::string> get_qualname(PyFrameObject* frame);

struct QualnameCache;

// get_qualname, reusing the name made last time for this code object when the
// frame's module name is the same object. Null for no name.
std::shared_ptr<const std::string> get_qualname_cached(PyFrameObject* frame, QualnameCache* cache);
// The same for the frame of an event, running `code`: its frame object is
// made only when the name is not one of the code's own.
std::shared_ptr<const std::string> get_qualname_cached(FrameHandle& frame, const compat::RunningFrame& running,
                                                       QualnameCache* cache);
inline std::shared_ptr<const std::string> get_qualname_cached(FrameHandle& frame, QualnameCache* cache) {
    const compat::RunningFrame* running = frame.running();
    return running != nullptr ? get_qualname_cached(frame, *running, cache)
                              : get_qualname_cached(frame.object(), cache);
}

// The path taken when the code object has no co_qualname: module code is
// "module.<module>", anything else is searched for by get_qualname_inner,
// whose failures give no name.
std::optional<std::string> qualname_without_co_qualname(PyFrameObject* frame);

// Looks the running function up from the frame's surroundings: the caller's
// locals, `self`, `cls`, a class body's __qualname__, the module globals.
// Throws PyErrOccurred for failures outside the marked look-ups.
std::optional<std::string> get_qualname_inner(PyFrameObject* frame, PyObject* co_name);

}  // namespace nefa
