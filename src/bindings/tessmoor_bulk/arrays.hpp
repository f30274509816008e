// numpy arrays over memory the core allocated: no copy between C++ and
// numpy.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

// numpy's C interface, its function table fetched once by _import_array in
// the module's initialisation.  Only module.cpp includes this header.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tessmoor_bulk_numpy_api
#include <numpy/arrayobject.h>

#include "core/io/buffer.hpp"

namespace tessmoor::pybulk {

namespace nb = nanobind;

template <class T>
constexpr int numpy_type() {
    if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
    else if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
    else if constexpr (std::is_same_v<T, std::int64_t>) return NPY_INT64;
    else if constexpr (std::is_same_v<T, std::uint8_t>) return NPY_UINT8;
}

inline void release_buffer(PyObject* capsule) {
    delete static_cast<core::Buffer*>(PyCapsule_GetPointer(capsule, nullptr));
}

// A numpy array over memory the core allocated, which it now owns: the
// array's base is a capsule holding the memory.  Made with numpy's own
// C interface, which costs a fraction of a microsecond; a single scan's
// read hands out two or three arrays, and the interpreter-level route
// (numpy.asarray over a buffer object) cost more than the read gained.
template <class T>
nb::object numpy_of(core::Array<T>&& a, std::initializer_list<std::size_t> shape) {
    npy_intp dims[2] = {0, 0};
    int nd = 0;
    for (std::size_t d : shape) dims[nd++] = static_cast<npy_intp>(d);
    T* data = a.data();
    // An array that never had memory (an empty result) gets numpy's own.
    if (!data) {
        PyObject* empty = PyArray_SimpleNew(nd, dims, numpy_type<T>());
        if (!empty) throw nb::python_error();
        return nb::steal(empty);
    }
    auto* owner = new core::Buffer(std::move(a).release());
    PyObject* keep = PyCapsule_New(owner, nullptr, release_buffer);
    if (!keep) {
        delete owner;
        throw nb::python_error();
    }
    PyObject* array = PyArray_SimpleNewFromData(nd, dims, numpy_type<T>(), data);
    if (!array) {
        Py_DECREF(keep);
        throw nb::python_error();
    }
    // The base takes the capsule's reference, on failure too.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), keep) < 0) {
        Py_DECREF(array);
        throw nb::python_error();
    }
    return nb::steal(array);
}

template <class T>
nb::object numpy_of(core::Array<T>&& a) {
    const std::size_t n = a.size();
    return numpy_of(std::move(a), {n});
}

}  // namespace tessmoor::pybulk
