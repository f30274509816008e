#include "reader.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "boxed.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "core/access/run.hpp"
#include "results.hpp"

namespace tessmoor::py {

namespace {

const core::Run& run_of(PyObject* self) { return Reader::of(self); }

// A new list with one new object per item, in order.  On any failure the
// part built so far is released.
template <class Items, class Make>
PyObject* list_of(const Items& items, Make&& make) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* obj = make(item);
        if (!obj || PyList_SetItem(list.get(), i++, obj) < 0) return nullptr;
    }
    return list.release();
}

// The method's "Class.method" name and parameters, for binding.
template <std::size_t N>
struct Params {
    const char* name;
    const char* params[N];
    Signature sig() const { return Signature{name, params}; }
};

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastMethod fn) {
    // METH_FASTCALL | METH_KEYWORDS methods are stored under the generic
    // PyCFunction type; the detour through void(*)() says so explicitly.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// ---------------------------------------------------------------------------
// Construction and release

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr Params<1> p{"RawReader.__new__", {"path"}};
        PyObject* arg[1];
        if (!bind_tuple(p.sig(), args, kwargs, arg)) return nullptr;
        std::string path;
        if (!convert_path(arg[0], "path", path)) return nullptr;

        auto run = core::Run::open(std::move(path));
        if (!run) return raise_status(std::move(run).status());
        // Everything parsed; only now does the Python object come to be.
        // Should allocation fail, `run` releases the parsed records.
        return Reader::create(type, std::move(run).value());
    });
}

// ---------------------------------------------------------------------------
// Properties

PyObject* reader_functions(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [self] {
        return list_of(run_of(self).function_table.functions,
                       [](const core::FunctionInfo& f) { return new_function_info(f); });
    });
}

PyObject* reader_channels(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [self] {
        const auto& chroms = run_of(self).chroms_inf;
        if (!chroms) return PyList_New(0);
        return list_of(chroms->channels, [](const core::ChromChannel& c) { return new_chrom_channel(c); });
    });
}

// ---------------------------------------------------------------------------
// Methods

PyObject* reader_n_scans(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr Params<1> p{"RawReader.n_scans", {"func_index"}};
        PyObject* arg[1];
        if (!bind_fastcall(p.sig(), args, nargs, kwnames, arg)) return nullptr;
        std::uint32_t func_index = 0;
        if (!convert_u32(arg[0], "func_index", func_index)) return nullptr;

        auto n = run_of(self).n_scans(func_index);
        if (!n) return raise_status(std::move(n).status());
        return PyLong_FromUnsignedLongLong(*n);
    });
}

// retention_time, read_spectrum and read_ims_spectrum take the same two
// arguments, converted in order, and differ only in the query they run and
// how its result becomes a Python object.
template <auto Query, class ToPython>
PyObject* scan_method(const Params<2>& p, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, ToPython&& to_python) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* arg[2];
        if (!bind_fastcall(p.sig(), args, nargs, kwnames, arg)) return nullptr;
        std::uint32_t func_index = 0;
        std::uint64_t scan_index = 0;
        if (!convert_u32(arg[0], "func_index", func_index)) return nullptr;
        if (!convert_u64(arg[1], "scan_index", scan_index)) return nullptr;

        auto result = (run_of(self).*Query)(func_index, scan_index);
        if (!result) return raise_status(std::move(result).status());
        return to_python(std::move(result).value());
    });
}

PyObject* reader_retention_time(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Params<2> p{"RawReader.retention_time", {"func_index", "scan_index"}};
    return scan_method<&core::Run::retention_time>(p, self, args, nargs, kwnames,
                                                  [](double rt) { return PyFloat_FromDouble(rt); });
}

PyObject* reader_read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Params<2> p{"RawReader.read_spectrum", {"func_index", "scan_index"}};
    return scan_method<&core::Run::read_spectrum>(
        p, self, args, nargs, kwnames, [](core::Spectrum&& s) { return new_spectrum(std::move(s)); });
}

PyObject* reader_read_ims_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    static constexpr Params<2> p{"RawReader.read_ims_spectrum", {"func_index", "scan_index"}};
    return scan_method<&core::Run::read_ims_spectrum>(
        p, self, args, nargs, kwnames,
        [](core::ImsSpectrum&& s) { return new_ims_spectrum(std::move(s)); });
}

PyObject* reader_read_chrom(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr Params<1> p{"RawReader.read_chrom", {"channel_index"}};
        PyObject* arg[1];
        if (!bind_fastcall(p.sig(), args, nargs, kwnames, arg)) return nullptr;
        std::uint64_t channel_index = 0;
        if (!convert_u64(arg[0], "channel_index", channel_index)) return nullptr;

        auto points = run_of(self).read_chrom(channel_index);
        if (!points) return raise_status(std::move(points).status());
        return list_of(*points, [](const core::ChromPoint& pt) { return new_chrom_point(pt); });
    });
}

PyObject* reader_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [self] {
        const core::Run& run = run_of(self);
        const std::size_t channels = run.chroms_inf ? run.chroms_inf->channels.size() : 0;
        // The path as it was given, quotes and all: no escaping.
        return text_to_py("RawReader('" + run.path + "', " + std::to_string(run.function_table.functions.size()) +
                          " function(s), " + std::to_string(channels) + " channel(s))");
    });
}

// ---------------------------------------------------------------------------
// The class

constexpr int fast_keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef reader_methods[] = {
    {"n_scans", as_cfunction(reader_n_scans), fast_keywords,
     "n_scans($self, func_index)\n--\n\nNumber of scans in a function (1-based `func_index`)."},
    {"retention_time", as_cfunction(reader_retention_time), fast_keywords,
     "retention_time($self, func_index, scan_index)\n--\n\n"
     "Retention time (minutes) for a scan.\n\n"
     "`func_index` is 1-based; `scan_index` is 0-based."},
    {"read_spectrum", as_cfunction(reader_read_spectrum), fast_keywords,
     "read_spectrum($self, func_index, scan_index)\n--\n\n"
     "Decode a 1-D mass spectrum.\n\n"
     "Uses Encoding A for older Q-TOF functions and Encoding C for G2/G2-Si.\n"
     "For IMS data, this collapses the drift dimension; use `read_ims_spectrum`\n"
     "to obtain the full 2-D data.\n\n"
     "`func_index` is 1-based; `scan_index` is 0-based."},
    {"read_ims_spectrum", as_cfunction(reader_read_ims_spectrum), fast_keywords,
     "read_ims_spectrum($self, func_index, scan_index)\n--\n\n"
     "Decode a full IMS spectrum (m/z, drift time, intensity) for SYNAPT data.\n\n"
     "Only valid for Encoding B functions (IDX Variant B).  Returns a\n"
     "`RuntimeError` if the function uses Encoding A.\n\n"
     "`func_index` is 1-based; `scan_index` is 0-based."},
    {"read_chrom", as_cfunction(reader_read_chrom), fast_keywords,
     "read_chrom($self, channel_index)\n--\n\n"
     "Read a chromatographic channel as a list of `ChromPoint` values.\n\n"
     "`channel_index` is 0-based (matches `ChromChannel.index`)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"functions", reader_functions, nullptr, "List of all acquisition functions in this .raw file.", nullptr},
    {"channels", reader_channels, nullptr,
     "List of instrument chromatographic channels from `_CHROMS.INF`.\n\nEmpty list if the file is absent.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n"
                                  "Open a Waters MassLynx `.raw` directory and read its contents.\n\n"
                                  "Example::\n\n"
                                  "    import tessmoor\n"
                                  "    r = tessmoor.RawReader(\"/data/sample.raw\")\n"
                                  "    print(r.functions)\n"
                                  "    spec = r.read_spectrum(1, 0)\n"
                                  "    print(spec.mz[:5], spec.intensity[:5])")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(reader_repr)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

// Not subclassable, no instance dict, no weak references; immutable like
// the result classes.  "builtins." gives the class the module "builtins".
PyType_Spec reader_spec = {"builtins.RawReader", sizeof(Reader), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, reader_slots};

PyTypeObject* reader_class = nullptr;

}  // namespace

PyTypeObject* reader_type() {
    if (!reader_class) reader_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&reader_spec));
    return reader_class;
}

}  // namespace tessmoor::py
