// The module entry: multi-phase initialisation with one exec step that
// adds the six classes and lists them in __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "errors.hpp"
#include "reader.hpp"
#include "results.hpp"

namespace tessmoor::py {
namespace {

// Appends `name` to the module's __all__ (creating it as an empty list when
// the module has none yet) and sets the attribute.
int add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (!type) return -1;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    if (!PyList_Check(all)) {
        PyErr_SetString(PyExc_TypeError, "tessmoor.__all__ must be a list");
        Py_DECREF(all);
        return -1;
    }
    PyObject* text = PyUnicode_FromString(name);
    const int appended = text ? PyList_Append(all, text) : -1;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [module] {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "tessmoor: the exec step needs a module object");
            return -1;
        }
        if (add_class(module, "RawReader", reader_type()) < 0) return -1;
        if (add_class(module, "FunctionInfo", function_info_type()) < 0) return -1;
        if (add_class(module, "Spectrum", spectrum_type()) < 0) return -1;
        if (add_class(module, "ImsSpectrum", ims_spectrum_type()) < 0) return -1;
        if (add_class(module, "ChromChannel", chrom_channel_type()) < 0) return -1;
        if (add_class(module, "ChromPoint", chrom_point_type()) < 0) return -1;
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessmoor",
    "",  // an empty docstring, not None
    0,   // no per-module state: the classes are per process
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessmoor::py

PyMODINIT_FUNC PyInit_tessmoor(void) { return PyModuleDef_Init(&tessmoor::py::module_def); }
