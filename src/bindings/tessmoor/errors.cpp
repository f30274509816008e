#include "errors.hpp"

#include <cstring>
#include <utility>

namespace tessmoor::py {


PyObject* raise(PyObject* exc) {
    if (!exc) return nullptr;
    // Unlike PyErr_SetObject, neither of these attaches the exception being
    // handled as context: the library's exceptions stand on their own.  The
    // single-object calls joined the stable ABI with 3.12; below that the
    // (type, value, traceback) triple does the same.
#if Py_LIMITED_API + 0 >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
    return nullptr;
}

PyObject* take_exception() {
#if Py_LIMITED_API + 0 >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
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

// An instance of `type` whose single argument is `text`.  Messages carry
// paths and file contents: a NUL or a stray byte must neither cut the text
// short nor turn the error into a decoding error.
PyObject* exception(PyObject* type, std::string_view text) {
    if (!type) return nullptr;
    PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!msg) return nullptr;
    PyObject* exc = PyObject_CallFunctionObjArgs(type, msg, nullptr);
    Py_DECREF(msg);
    return exc;
}

}  // namespace

void raise_fault(const char* what) noexcept {
    // Whatever was pending when the fault surfaced becomes its context, so
    // that nothing of the trail is lost.
    PyObject* pending = take_exception();
    PyObject* exc = exception(fault_type(), what);
    if (!exc) {
        // Could not even build the fault: that failure is what is raised.
        Py_XDECREF(pending);
        return;
    }
    if (pending) PyException_SetContext(exc, pending);  // steals
    raise(exc);
}

PyObject* runtime_error(std::string_view text) { return exception(PyExc_RuntimeError, text); }

PyObject* to_py_err(const core::Status& status) {
    switch (status.kind()) {
        case core::StatusKind::OutOfMemory: return exception(PyExc_MemoryError, status.text());
        case core::StatusKind::Internal: return exception(fault_type(), status.text());
        // The file is named: this fault has no place in the messages the
        // queries otherwise give, which name only missing files.
        case core::StatusKind::FileChanged: return runtime_error(status.file() + ": " + status.text());
        default: return runtime_error(status.text());
    }
}

}  // namespace tessmoor::py
