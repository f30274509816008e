// Turning the core's failures into Python exceptions, and the guard that
// keeps C++ exceptions from ever crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "core/status.hpp"
#include "core/access/run.hpp"

namespace tessmoor::py {

// A new RuntimeError instance whose single argument is `text` (decoded as
// UTF-8, undecodable bytes replaced).  nullptr with an exception set when
// the instance could not be built.
PyObject* runtime_error(std::string_view text);

// A parser's or reader's Error: "I/O error: ..." or "parse error: ...".
PyObject* to_py_err(const core::Error& error);

// A bare OS error of an existing scan file: the OS error text alone.
PyObject* io_to_py(int errnum);

// Any Failure of a Run query: a RuntimeError with the failure's text.
PyObject* failure_to_py(const core::Failure& failure);

// Makes `exc` (a new reference, or nullptr when building it failed) the
// current exception as it stands, adding no context, and returns nullptr so
// that callers can `return raise(...)`.
PyObject* raise(PyObject* exc);

// Takes the pending exception out of the interpreter, as an instance with
// its traceback attached (a new reference); nullptr when none is pending.
PyObject* take_exception();

inline PyObject* raise_failure(const core::Failure& failure) { return raise(failure_to_py(failure)); }

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
