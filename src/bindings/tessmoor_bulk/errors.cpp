#include "bindings/tessmoor_bulk/errors.hpp"

#include <cerrno>
#include <new>
#include <typeinfo>
#include <string>

namespace nb = nanobind;

namespace tessmoor::pybulk {

namespace {

PyObject* format_error = nullptr;    // tessmoor_bulk.FormatError
PyObject* internal_error = nullptr;  // tessmoor_bulk.InternalError

// Messages name paths, which need not be UTF-8: undecodable bytes are shown
// escaped, so that a message always prints.
PyObject* text_of(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "backslashreplace");
}

void set_exception(PyObject* type, const std::string& text) {
    PyObject* value = text_of(text);
    if (!value) return;
    PyErr_SetObject(type, value);
    Py_DECREF(value);
}

// OSError(errno, message, filename): the interpreter picks the subclass
// that the error number names (FileNotFoundError for ENOENT, ...).  The
// file name is decoded as the file system's names are (os.fsdecode), so
// that os.fsencode(e.filename) gives the path back.
void raise_os(int errnum, const std::string& file) {
    PyObject* filename = PyUnicode_DecodeFSDefaultAndSize(file.data(), static_cast<Py_ssize_t>(file.size()));
    if (!filename) return;
    const std::string message = core::os_error_message(errnum);
    PyObject* exc = PyObject_CallFunction(PyExc_OSError, "isN", errnum, message.c_str(), filename);
    if (!exc) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
}

void raise_status(const core::Status& s) {
    using Kind = core::StatusKind;
    switch (s.kind()) {
        case Kind::NotDirectory:
        case Kind::Io: return raise_os(s.os_errno(), s.file());
        case Kind::NotFound:
        case Kind::NoChroms: return raise_os(ENOENT, s.file());
        case Kind::Format:
        case Kind::ScanOutOfBounds:
        case Kind::SpecialFile:
        case Kind::FileChanged: return set_exception(format_error, s.context_text());
        case Kind::FunctionNotFound:
        case Kind::ChannelNotFound:
        case Kind::ScanOutOfRange: return set_exception(PyExc_IndexError, s.context_text());
        case Kind::Interrupted:
            // The poll that stopped the work left the signal handler's
            // exception (KeyboardInterrupt) pending: it is the one raised.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return;
        case Kind::NotIms: return set_exception(PyExc_ValueError, s.context_text());
        case Kind::OutOfMemory: return set_exception(PyExc_MemoryError, s.text());
        case Kind::InvalidArgument: return set_exception(PyExc_ValueError, s.text());
        case Kind::Internal: return set_exception(internal_error, s.text());
    }
    set_exception(internal_error, "unknown status kind: " + s.text());
}

}  // namespace

void install_error_table(nb::module_& m) {
    format_error = PyErr_NewExceptionWithDoc(
        "tessmoor_bulk.FormatError",
        "A file of the run, or a scan in it, is malformed or changed while it was read.\n\n"
        "The text names the file and, where one is concerned, the function and the scan,\n"
        "followed by the message the module tessmoor gives for the same fault.",
        PyExc_RuntimeError, nullptr);
    if (!format_error) throw nb::python_error();
    m.attr("FormatError") = nb::handle(format_error);

    internal_error = PyErr_NewExceptionWithDoc(
        "tessmoor_bulk.InternalError",
        "A fault of tessmoor_bulk itself (a broken invariant, a bug): not an error of the data\n"
        "or of the call.  Please report it, with its text.",
        PyExc_Exception, nullptr);
    if (!internal_error) throw nb::python_error();
    m.attr("InternalError") = nb::handle(internal_error);

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Raised& r) {
            raise_status(r.status);
        } catch (const nb::python_error&) {
            throw;
        } catch (const nb::builtin_exception&) {
            throw;
        } catch (const nb::cast_error&) {
            throw;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            set_exception(internal_error, std::string("internal error: ") + e.what());
        }
    });
}

}  // namespace tessmoor::pybulk
