// A Python object that owns one C++ value.
//
// The value lives in raw storage after the object header: it is
// constructed (by move) only once the interpreter has allocated the object,
// and destroyed in tp_dealloc.  All classes here are heap types, so each
// instance holds a reference to its type that dealloc gives back.  The
// type's allocator and deallocator are looked up by slot: the stable ABI
// keeps the type object's layout opaque.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace tessmoor::py {

// An owned reference, released on every path out of a scope (a C++
// exception included).
struct Decref {
    void operator()(PyObject* o) const noexcept { Py_DECREF(o); }
};
using Ref = std::unique_ptr<PyObject, Decref>;

template <class T>
struct Boxed {
    PyObject_HEAD
    alignas(T) unsigned char storage[sizeof(T)];

    // Moving in must not throw: once the object is allocated nothing may
    // fail that would leave it half built.
    static_assert(std::is_nothrow_move_constructible_v<T>);

    static T& of(PyObject* self) noexcept {
        return *std::launder(reinterpret_cast<T*>(reinterpret_cast<Boxed*>(self)->storage));
    }

    // A new instance of `type` owning `value`; nullptr with the
    // interpreter's exception when allocation fails (`value` is then left
    // to its owner).
    static PyObject* create(PyTypeObject* type, T&& value) {
        PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
        if (!self) return nullptr;
        ::new (static_cast<void*>(reinterpret_cast<Boxed*>(self)->storage)) T(std::move(value));
        return self;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        of(self).~T();
        reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
        Py_DECREF(type);
    }
};

}  // namespace tessmoor::py
