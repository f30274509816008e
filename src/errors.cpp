#include "errors.hpp"

#include <cstring>
#include <utility>

namespace tessmoor::py {

PyObject* runtime_error(std::string_view text) {
    // Messages carry paths and file contents: a NUL or a stray byte must
    // neither cut the text short nor turn the error into a decoding error.
    PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!msg) return nullptr;
    PyObject* exc = PyObject_CallOneArg(PyExc_RuntimeError, msg);
    Py_DECREF(msg);
    return exc;
}

PyObject* to_py_err(raw::Error error) { return runtime_error(error.text()); }

PyObject* io_to_py(int errnum) { return runtime_error(raw::os_error_text(errnum)); }

PyObject* failure_to_py(raw::Failure failure) {
    switch (failure.kind) {
        case raw::Failure::Kind::Message: return runtime_error(failure.message);
        case raw::Failure::Kind::Os: return io_to_py(failure.os_errno);
        case raw::Failure::Kind::Wrapped:
            if (failure.error) return to_py_err(std::move(*failure.error));
            break;
    }
    // A Wrapped failure without its Error, or a kind that does not exist.
    raise_fault("reader failure of unknown kind");
    return nullptr;
}

PyObject* raise(PyObject* exc) {
    if (!exc) return nullptr;
    // PyErr_Restore, unlike PyErr_SetObject, attaches no implicit context:
    // the library's exceptions stand on their own.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, nullptr);
    return nullptr;
}

namespace {

// Created on first use and kept for the life of the process.  It is not a
// public name of the module: it only ever signals a bug in the library.
PyObject* fault_type() {
    static PyObject* type = nullptr;
    if (!type)
        type = PyErr_NewExceptionWithDoc(
            "tessmoor.InternalFault",
            "An internal fault of the tessmoor library (a broken invariant, not an error of the data).",
            PyExc_BaseException, nullptr);
    return type;
}

}  // namespace

void raise_fault(const char* what) noexcept {
    // Whatever was pending when the fault surfaced becomes its context, so
    // that nothing of the trail is lost.
    PyObject *pt = nullptr, *pv = nullptr, *ptb = nullptr;
    PyErr_Fetch(&pt, &pv, &ptb);
    if (pt) {
        PyErr_NormalizeException(&pt, &pv, &ptb);
        if (pv && ptb) PyException_SetTraceback(pv, ptb);
    }

    PyObject* type = fault_type();
    PyObject* exc = nullptr;
    if (type) {
        PyObject* msg = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)),
                                             "replace");
        if (msg) {
            exc = PyObject_CallOneArg(type, msg);
            Py_DECREF(msg);
        }
    }
    if (!exc) {
        // Could not even build the fault: report that failure instead.
        Py_XDECREF(pt);
        Py_XDECREF(pv);
        Py_XDECREF(ptb);
        return;
    }
    if (pv) PyException_SetContext(exc, pv);  // steals pv
    Py_XDECREF(pt);
    Py_XDECREF(ptb);
    raise(exc);
}

}  // namespace tessmoor::py
