// Turning the core's failures into Python exceptions, and the guard that
// keeps C++ exceptions from ever crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "core/status.hpp"

namespace tessmoor::py {

// A new RuntimeError instance whose single argument is `text` (decoded as
// UTF-8, undecodable bytes replaced).  nullptr with an exception set when
// the instance could not be built.
PyObject* runtime_error(std::string_view text);

// The one table from the core's status kinds to this module's exceptions:
// every failure of the library's own work is a RuntimeError with the
// status's text; a result too large for memory is a MemoryError, and a
// broken invariant the internal-fault exception.  A new reference, or
// nullptr when building it failed.
PyObject* to_py_err(const core::Status& status);

// Makes `exc` (a new reference, or nullptr when building it failed) the
// current exception as it stands, adding no context, and returns nullptr so
// that callers can `return raise(...)`.
PyObject* raise(PyObject* exc);

// Takes the pending exception out of the interpreter, as an instance with
// its traceback attached (a new reference); nullptr when none is pending.
PyObject* take_exception();

inline PyObject* raise_status(const core::Status& status) { return raise(to_py_err(status)); }

// Raises the internal-fault exception (derived directly from BaseException)
// with `what` as its message.  Used for C++ exceptions other than bad_alloc.
void raise_fault(const char* what) noexcept;

// Runs `body` and turns any C++ exception escaping it into a Python
// exception, returning `on_error` in that case.  Every entry point from the
// interpreter (methods, getters, slots, the module's exec step) goes
// through here.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_fault(e.what());
    } catch (...) {
        raise_fault("unknown C++ exception");
    }
    return on_error;
}

}  // namespace tessmoor::py
