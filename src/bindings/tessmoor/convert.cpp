#include "convert.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "boxed.hpp"
#include "errors.hpp"

namespace tessmoor::py {

namespace {

// The common part of both binders.  `for_each_keyword(visit)` calls
// visit(key, value) for every keyword argument and stops at the first false.
template <class ForEachKeyword>
bool bind(const Signature& sig, PyObject* const* positional, Py_ssize_t npositional,
          ForEachKeyword&& for_each_keyword, PyObject** out) {
    const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
    if (npositional > nparams) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.name,
                     nparams, nparams == 1 ? "" : "s", npositional, npositional == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < npositional ? positional[i] : nullptr;

    const bool keywords_ok = for_each_keyword([&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
            return false;
        }
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.params[static_cast<std::size_t>(i)]) != 0)
                continue;
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                             sig.params[static_cast<std::size_t>(i)]);
                return false;
            }
            out[i] = value;
            return true;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return false;
    });
    if (!keywords_ok) return false;

    // All missing arguments are named at once: "'a'", "'a' and 'b'",
    // "'a', 'b' and 'c'".
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < nparams; ++i) missing += out[i] ? 0 : 1;
    if (missing == 0) return true;
    std::string names;
    Py_ssize_t listed = 0;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (out[i]) continue;
        if (listed > 0) names += listed + 1 == missing ? " and " : ", ";
        names += '\'';
        names += sig.params[static_cast<std::size_t>(i)];
        names += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required argument%s: %s", sig.name, missing,
                 missing == 1 ? "" : "s", names.c_str());
    return false;
}

// A TypeError raised while converting argument `name` is raised again as a
// TypeError that names the argument in front of the original message; it
// keeps the original's cause and traceback.  Any other exception (an
// OverflowError, a UnicodeEncodeError) is left exactly as it is.
void name_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* original = take_exception();
    if (!original) return;

    PyObject* text = PyObject_Str(original);
    PyObject* msg = text ? PyUnicode_FromFormat("argument '%s': %U", name, text) : nullptr;
    Py_XDECREF(text);
    PyObject* renamed = msg ? PyObject_CallFunctionObjArgs(PyExc_TypeError, msg, nullptr) : nullptr;
    Py_XDECREF(msg);
    if (!renamed) {
        // The original's str() failed, or memory ran out: the original
        // error says more than that failure would.
        PyErr_Clear();
        raise(original);
        return;
    }
    if (PyObject* cause = PyException_GetCause(original)) PyException_SetCause(renamed, cause);  // steals
    if (PyObject* tb = PyException_GetTraceback(original)) {
        PyException_SetTraceback(renamed, tb);
        Py_DECREF(tb);
    }
    Py_DECREF(original);
    raise(renamed);
}

// Raises TypeError "'{type}' object is not an instance of 'str'", {type}
// being the type's C-level name cut at 200 bytes: "int" or "Path", but also
// "collections.deque" or "builtins.RawReader", where __name__ says less.
// The stable ABI has no call that reads that name.  String concatenation
// reports a non-str operand by exactly that name and cut, without calling
// into the operand, so its message is reworded.  Should an interpreter ever
// word it differently, the type's __name__ stands in.
void raise_not_str(PyObject* arg) {
    static constexpr char head[] = "can only concatenate str (not \"";
    static constexpr char tail[] = "\") to str";
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    if (!empty) return;
    if (PyObject* joined = PyUnicode_Concat(empty.get(), arg)) {
        // Unreachable for a non-str operand; say at least what is wrong.
        Py_DECREF(joined);
        PyErr_SetString(PyExc_TypeError, "expected a str");
        return;
    }
    Ref failure(take_exception());
    Ref message(failure ? PyObject_Str(failure.get()) : nullptr);
    Ref head_text(PyUnicode_FromString(head)), tail_text(PyUnicode_FromString(tail));
    if (!message || !head_text || !tail_text) return;
    const Py_ssize_t length = PyUnicode_GetLength(message.get());
    const Py_ssize_t start = PyUnicode_GetLength(head_text.get());
    const Py_ssize_t end = length - PyUnicode_GetLength(tail_text.get());
    Ref name;
    if (start <= end && PyUnicode_Tailmatch(message.get(), head_text.get(), 0, length, -1) == 1 &&
        PyUnicode_Tailmatch(message.get(), tail_text.get(), 0, length, 1) == 1)
        name.reset(PyUnicode_Substring(message.get(), start, end));
    else
        name.reset(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__name__"));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", name.get());
}

}  // namespace

// A METH_FASTCALL method gets the plain count of positional arguments: the
// interpreter strips the vectorcall offset flag before it calls one.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    return bind(
        sig, args, nargs,
        [&](auto&& visit) {
            if (!kwnames) return true;
            const Py_ssize_t nkw = PyTuple_Size(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k)
                if (!visit(PyTuple_GetItem(kwnames, k), args[nargs + k])) return false;
            return true;
        },
        out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    // The stable ABI gives no pointer to a tuple's items: copy the borrowed
    // references out.  More items than parameters is an error that bind()
    // reports from the count alone, so only that many are ever looked at.
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    std::vector<PyObject*> items(
        static_cast<std::size_t>(std::min(nargs, static_cast<Py_ssize_t>(sig.params.size()))));
    for (std::size_t i = 0; i < items.size(); ++i) items[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    return bind(
        sig, items.data(), nargs,
        [&](auto&& visit) {
            if (!kwargs) return true;
            Py_ssize_t pos = 0;
            PyObject *key = nullptr, *value = nullptr;
            while (PyDict_Next(kwargs, &pos, &key, &value))
                if (!visit(key, value)) return false;
            return true;
        },
        out);
}

bool convert_path(PyObject* arg, const char* name, std::string& out) {
    if (!PyUnicode_Check(arg)) {
        raise_not_str(arg);
        name_type_error(name);
        return false;
    }
    // Lone surrogates raise the interpreter's UnicodeEncodeError, which
    // passes through unchanged.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!utf8) {
        name_type_error(name);
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_u32(PyObject* arg, const char* name, std::uint32_t& out) {
    PyObject* index = PyNumber_Index(arg);
    if (!index) {
        name_type_error(name);
        return false;
    }
    // Beyond the signed 64-bit range the interpreter's own OverflowError
    // stands; within it, anything outside the unsigned 32-bit range gets
    // ours.
    const long long value = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (value == -1 && PyErr_Occurred()) {
        name_type_error(name);
        return false;
    }
    if (value < 0 || value > static_cast<long long>(std::numeric_limits<std::uint32_t>::max())) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool convert_u64(PyObject* arg, const char* name, std::uint64_t& out) {
    PyObject* index = PyNumber_Index(arg);
    if (!index) {
        name_type_error(name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        name_type_error(name);
        return false;
    }
    out = static_cast<std::uint64_t>(value);
    return true;
}

}  // namespace tessmoor::py
