// Turning C++ failures into Python exceptions at the boundaries of the module.
#pragma once

#include "common/refs.hpp"

#include <new>

namespace nefa {

// The module's own exception type for internal errors (a RuntimeError
// subclass named nefa._nefa.InternalError). Created once; borrowed result.
// Requires the interpreter lock.
PyObject* internal_error_type();

// Sets the internal-error exception with `message`. Requires the interpreter lock.
void set_internal_error(const char* message);

// Reports an internal error that happened where nothing may raise (the profile
// hook): through the interpreter's unraisable hook, leaving no error pending.
void report_internal_error(const char* message);

// Runs `body` at an entry point (module function, method, slot). Whatever it
// throws becomes a set Python exception and `on_error` is returned: nothing
// unwinds into the interpreter.
template <class Body, class Result>
Result guarded(Body&& body, Result on_error) noexcept {
    try {
        return body();
    } catch (const PyErrOccurred&) {
        ensure_error_set();
    } catch (const InternalError& e) {
        set_internal_error(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_internal_error(e.what());
    } catch (...) {
        set_internal_error("unknown C++ exception");
    }
    return on_error;
}

}  // namespace nefa
