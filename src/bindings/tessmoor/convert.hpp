// Binding a call's arguments to parameters and converting them to C++.
//
// Every parameter of every method is positional-or-keyword and required, so
// binding is simple enough to do by hand; the messages name the method as
// "Class.method()" and the argument concerned.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>

namespace tessmoor::py {

// A method's name for messages ("RawReader.n_scans") and its parameters in
// order.
struct Signature {
    const char* name;
    std::span<const char* const> params;
};

// Binds a vectorcall-style call (METH_FASTCALL | METH_KEYWORDS).  On success
// out[i] is a borrowed reference to the argument of params[i].
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

// Binds a tuple-and-dict call (tp_new); `kwargs` may be nullptr.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// `str` or a subclass, as UTF-8 (an embedded NUL is kept).
bool convert_path(PyObject* arg, const char* name, std::string& out);

// Anything with __index__, in [0, 2^32).
bool convert_u32(PyObject* arg, const char* name, std::uint32_t& out);

// Anything with __index__, in [0, 2^64).
bool convert_u64(PyObject* arg, const char* name, std::uint64_t& out);

}  // namespace tessmoor::py
