// The native part of tessmoor_bulk: the reader core's bulk reads as numpy
// arrays, and the encoding of mzML arrays.  It converts arguments and
// results and turns failures into Python exceptions; the reading, deciding
// and looping happen in src/raw (and src/bulk/encode).
//
// Arrays hand numpy the memory the core decoded into, owned through a
// capsule: no copy.  Every call into the core releases the interpreter lock,
// so other Python threads run while files are read and scans decoded.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/export/arrays.hpp"
// numpy's C interface, its function table fetched once by _import_array.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tessmoor_bulk_numpy_api
#include <numpy/arrayobject.h>

#include "core/bulk/bulk.hpp"
#include "core/access/function_reader.hpp"
#include "core/access/run.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tessmoor::pybulk {

using core::Column;
using core::Compression;
using core::Numpress;
using core::EncodedTexts;

namespace {

// ---------------------------------------------------------------------------
// Failures

// A core failure on its way to Python: thrown by the bindings below, turned
// into an exception by the translator registered with the module.
struct Raised {
    core::Failure failure;
};

template <class T>
T take(core::Expected<T, core::Failure>&& result) {
    if (!result) throw Raised{std::move(result).error()};
    return std::move(result).value();
}

PyObject* format_error = nullptr;  // tessmoor_bulk.FormatError

PyObject* text_of(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

void set_exception(PyObject* type, PyObject* value) {
    if (value) {
        PyErr_SetObject(type, value);
        Py_DECREF(value);
    }
}

// OSError(errno, message, filename): the interpreter picks the subclass
// that the error number names (FileNotFoundError for ENOENT, ...).
void raise_os(int errnum, const std::string& file) {
    PyObject* filename = text_of(file);
    if (!filename) return;
    const std::string message = core::os_error_message(errnum);
    PyObject* exc = PyObject_CallFunction(PyExc_OSError, "isN", errnum, message.c_str(), filename);
    if (exc) set_exception(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
}

void raise_failure(const core::Failure& f) {
    using Kind = core::Failure::Kind;
    switch (f.kind) {
        case Kind::NotDirectory:
        case Kind::Os: return raise_os(f.os_errno, f.file);
        case Kind::IdxMissing:
        case Kind::DatMissing:
        case Kind::NoChroms: return raise_os(ENOENT, f.file);
        case Kind::Format:
            if (f.error && f.error->kind() == core::Error::Kind::Io) return raise_os(f.error->os_errno(), f.file);
            break;
        case Kind::FunctionNotFound:
        case Kind::ScanOutOfRange: return set_exception(PyExc_IndexError, text_of(f.context_text()));
        case Kind::NotIms: return set_exception(PyExc_ValueError, text_of(f.context_text()));
        case Kind::ScanOutOfBounds:
        case Kind::FileChanged: break;
    }
    set_exception(format_error, text_of(f.context_text()));
}

// ---------------------------------------------------------------------------
// Arrays

template <class T>
constexpr int numpy_type() {
    if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
    else if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
    else if constexpr (std::is_same_v<T, std::int64_t>) return NPY_INT64;
    else if constexpr (std::is_same_v<T, std::uint8_t>) return NPY_UINT8;
}

void release_buffer(PyObject* capsule) {
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

using Picks = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Targets = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Pair = std::pair<double, double>;
using SliceArgs = std::tuple<std::optional<std::int64_t>, std::optional<std::int64_t>, std::int64_t>;

std::optional<core::Window> window_of(const std::optional<Pair>& p) {
    if (!p) return std::nullopt;
    return core::Window{p->first, p->second};
}

core::ScanSelection selection_of(const std::optional<Picks>& picks, const std::optional<SliceArgs>& slice,
                                const std::optional<Pair>& rt) {
    core::ScanSelection s;
    if (picks) s.picks = std::span<const std::int64_t>(picks->data(), picks->shape(0));
    if (slice) s.slice = core::ScanSlice{std::get<0>(*slice), std::get<1>(*slice), std::get<2>(*slice)};
    s.rt = window_of(rt);
    return s;
}

nb::object spectra_tuple(core::SpectraBatch&& b, bool ims) {
    nb::object drift = ims ? numpy_of(std::move(b.drift_time_ms)) : nb::none();
    return nb::make_tuple(numpy_of(std::move(b.scans)), numpy_of(std::move(b.rt_min)),
                          numpy_of(std::move(b.offsets)), numpy_of(std::move(b.mz)),
                          numpy_of(std::move(b.intensity)), drift);
}

// (scans, rt_min, intensity, mz): intensity has one row per target for an
// XIC; mz (the base peaks') is None for the other kinds.
nb::object chromatogram_tuple(core::Chromatogram&& c, const core::ReduceOptions& o) {
    const std::size_t n = c.scans.size();
    nb::object intensity = o.kind == core::ReduceOptions::Kind::Xic
                               ? numpy_of(std::move(c.intensity), {o.targets.size(), n})
                               : numpy_of(std::move(c.intensity));
    nb::object mz = o.kind == core::ReduceOptions::Kind::BasePeak ? numpy_of(std::move(c.mz)) : nb::none();
    return nb::make_tuple(numpy_of(std::move(c.scans)), numpy_of(std::move(c.rt_min)), intensity, mz);
}

core::ReduceOptions reduce_options(const std::string& kind, const std::optional<Pair>& mz,
                                  const std::optional<Targets>& targets, std::optional<double> ppm,
                                  std::optional<double> da, unsigned threads) {
    core::ReduceOptions o;
    o.threads = threads;
    o.mz = window_of(mz);
    if (kind == "tic") {
        o.kind = core::ReduceOptions::Kind::Tic;
    } else if (kind == "base_peak") {
        o.kind = core::ReduceOptions::Kind::BasePeak;
    } else if (kind == "xic") {
        o.kind = core::ReduceOptions::Kind::Xic;
        if (targets)
            o.targets = core::xic_windows(std::span<const double>(targets->data(), targets->shape(0)), ppm, da);
    } else {
        throw nb::value_error("unknown chromatogram kind");
    }
    return o;
}

// ---------------------------------------------------------------------------
// The classes

struct RunHandle {
    core::Run run;
};

struct FunctionHandle {
    core::FunctionReader reader;
};

using Purpose = core::FunctionReader::Purpose;

RunHandle open_run(const std::string& path) {
    nb::gil_scoped_release unlocked;
    return RunHandle{take(core::Run::open(path))};
}

std::uint64_t n_scans(const RunHandle& r, std::uint32_t func) {
    nb::gil_scoped_release unlocked;
    return take(r.run.n_scans(func));
}

nb::object retention_times(const RunHandle& r, std::uint32_t func) {
    core::Array<double> rt;
    {
        nb::gil_scoped_release unlocked;
        rt = take(core::with_function(r.run, func, Purpose::Index,
                                     [](const core::FunctionReader& f) -> core::Expected<core::Array<double>, core::Failure> {
                                         core::Array<double> out(f.size());
                                         for (std::uint64_t i = 0; i < f.size(); ++i) out[i] = f.rt_min(i);
                                         return out;
                                     }));
    }
    return numpy_of(std::move(rt));
}

nb::object read_spectra(const RunHandle& r, std::uint32_t func, std::optional<Picks> picks,
                        std::optional<SliceArgs> slice, std::optional<Pair> rt, std::optional<Pair> mz,
                        bool ims, unsigned threads) {
    const core::ScanSelection selection = selection_of(picks, slice, rt);
    const core::SpectraOptions options{ims, window_of(mz), threads};
    core::SpectraBatch batch;
    {
        nb::gil_scoped_release unlocked;
        batch = take(core::read_spectra(r.run, func, selection, options));
    }
    return spectra_tuple(std::move(batch), ims);
}

nb::object reduce(const RunHandle& r, const std::string& kind, std::uint32_t func,
                  std::optional<Picks> picks, std::optional<SliceArgs> slice, std::optional<Pair> rt,
                  std::optional<Pair> mz, std::optional<Targets> targets, std::optional<double> ppm,
                  std::optional<double> da, unsigned threads) {
    const core::ScanSelection selection = selection_of(picks, slice, rt);
    const core::ReduceOptions options = reduce_options(kind, mz, targets, ppm, da, threads);
    core::Chromatogram chrom;
    {
        nb::gil_scoped_release unlocked;
        chrom = take(core::reduce_scans(r.run, func, selection, options));
    }
    return chromatogram_tuple(std::move(chrom), options);
}

nb::object read_scan(const RunHandle& r, std::uint32_t func, std::int64_t scan, bool ims) {
    core::ScanRead s;
    {
        nb::gil_scoped_release unlocked;
        s = take(r.run.read_scan(func, scan, ims));
    }
    nb::object drift = ims ? numpy_of(std::move(s.drift_time_ms)) : nb::none();
    return nb::make_tuple(s.scan, s.rt_min, numpy_of(std::move(s.mz)), numpy_of(std::move(s.intensity)), drift);
}

nb::object read_channel(const RunHandle& r, std::uint64_t index) {
    core::ChannelTrace trace;
    {
        nb::gil_scoped_release unlocked;
        trace = take(core::read_channel(r.run, index));
    }
    return nb::make_tuple(numpy_of(std::move(trace.rt_min)), numpy_of(std::move(trace.value)));
}

// ---------------------------------------------------------------------------
// Run metadata: the records parsed once when the run was opened, read-only,
// as new Python values on every call.

nb::str str_of(const std::string& s) { return nb::str(s.data(), s.size()); }

// The acquisition fields of _HEADER.TXT that the file gives, by snake_case name.
nb::dict header_fields(const RunHandle& r) {
    const core::Header& h = r.run.header;
    nb::dict out;
    for (const auto& [key, value] : {std::pair{"version", &h.version},
                                     std::pair{"acquired_name", &h.acquired_name},
                                     std::pair{"acquired_date", &h.acquired_date},
                                     std::pair{"acquired_time", &h.acquired_time},
                                     std::pair{"instrument", &h.instrument},
                                     std::pair{"user_name", &h.user_name},
                                     std::pair{"sample_description", &h.sample_description}})
        if (*value) out[key] = str_of(**value);
    return out;
}

// {function: {"coefficients": [constant term first, ...], "kind": "T0" | "T1"}},
// from the "Cal Function" lines of _HEADER.TXT.
nb::dict calibrations(const RunHandle& r) {
    nb::dict out;
    for (const auto& [func, cal] : r.run.header.calibrations) {
        nb::list coefficients;
        for (double c : cal.coefficients) coefficients.append(c);
        nb::dict entry;
        entry["coefficients"] = coefficients;
        entry["kind"] = cal.kind == core::CalibrationKind::T1 ? "T1" : "T0";
        out[nb::int_(func)] = entry;
    }
    return out;
}

// The constants of _extern.inf, as written (no unit converted), and the
// settings of its function blocks.
nb::dict instrument(const RunHandle& r) {
    const core::ExternInf& e = r.run.extern_inf;
    nb::dict functions;
    for (const auto& [func, p] : e.function_parameters) {
        nb::dict settings;
        settings["start_mass"] = p.start_mass;
        settings["end_mass"] = p.end_mass;
        settings["adc_pusher_frequency"] = p.adc_pusher_frequency ? nb::cast(*p.adc_pusher_frequency) : nb::none();
        functions[nb::int_(func)] = settings;
    }
    nb::dict out;
    out["lteff_mm"] = e.lteff;
    out["veff_v"] = e.veff;
    out["pusher_interval"] = e.pusher_interval;
    out["functions"] = functions;
    return out;
}

FunctionHandle open_function(const RunHandle& r, std::uint32_t func, bool spectra) {
    nb::gil_scoped_release unlocked;
    return FunctionHandle{take(core::FunctionReader::open(r.run, func, spectra ? Purpose::Spectra : Purpose::Index))};
}

// 22 or 30: the index layout decides how the DAT is read (30-byte records
// carry the ion-mobility scans).
std::size_t index_record_size(const FunctionHandle& h) {
    return h.reader.layout() == core::IndexLayout::A ? core::VariantA::record_size : core::VariantB::record_size;
}

nb::object select_scans_of(const FunctionHandle& h, std::optional<Picks> picks, std::optional<SliceArgs> slice,
                  std::optional<Pair> rt) {
    const core::ScanSelection selection = selection_of(picks, slice, rt);
    core::Array<std::int64_t> out;
    {
        nb::gil_scoped_release unlocked;
        std::vector<std::uint64_t> scans = take(core::select_scans(h.reader, selection));
        out = core::Array<std::int64_t>(scans.size());
        for (std::size_t k = 0; k < scans.size(); ++k) out[k] = static_cast<std::int64_t>(scans[k]);
    }
    return numpy_of(std::move(out));
}

nb::object batch_bounds(const FunctionHandle& h, Picks scans, std::size_t max_scans, std::uint64_t max_bytes) {
    core::Array<std::int64_t> out;
    {
        nb::gil_scoped_release unlocked;
        core::ScanSelection selection;
        selection.picks = std::span<const std::int64_t>(scans.data(), scans.shape(0));
        std::vector<std::uint64_t> picked = take(core::select_scans(h.reader, selection));
        const std::vector<std::size_t> bounds = core::batch_bounds(h.reader, picked, max_scans, max_bytes);
        out = core::Array<std::int64_t>(bounds.size());
        for (std::size_t k = 0; k < bounds.size(); ++k) out[k] = static_cast<std::int64_t>(bounds[k]);
    }
    return numpy_of(std::move(out));
}

nb::object function_spectra(const FunctionHandle& h, Picks scans, std::optional<Pair> mz, bool ims,
                            unsigned threads) {
    const core::SpectraOptions options{ims, window_of(mz), threads};
    core::SpectraBatch batch;
    {
        nb::gil_scoped_release unlocked;
        core::ScanSelection selection;
        selection.picks = std::span<const std::int64_t>(scans.data(), scans.shape(0));
        std::vector<std::uint64_t> picked = take(core::select_scans(h.reader, selection));
        batch = take(core::read_spectra(h.reader, picked, options));
    }
    return spectra_tuple(std::move(batch), ims);
}

// ---------------------------------------------------------------------------
// mzML arrays

using Values = nb::ndarray<nb::ro, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Offsets = Picks;  // positions into flat arrays, int64 like scan numbers

std::span<const std::int64_t> span_of(const Offsets& offsets) { return {offsets.data(), offsets.shape(0)}; }

void check_offsets(const Offsets& offsets, std::size_t count) {
    if (!core::offsets_fit(span_of(offsets), count))
        throw nb::value_error("offsets must not decrease and must lie within the arrays");
}

// (text uint8, bounds int64 (texts, 2), numpressed uint8 (texts)): see
// encode_arrays.  `numpress` names each column's scheme ("linear", "slof"
// or "none"); None for none at all.
nb::object encode(const std::vector<Values>& columns, const Offsets& offsets, bool zlib, unsigned threads,
                  const std::optional<std::vector<std::string>>& numpress) {
    if (numpress && numpress->size() != columns.size())
        throw nb::value_error("numpress must name one scheme per column");
    std::vector<Column> parts;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const Values& a = columns[c];
        if (a.dtype() != nb::dtype<double>() && a.dtype() != nb::dtype<float>())
            throw nb::type_error("the arrays to encode must hold float32 or float64 values");
        check_offsets(offsets, a.shape(0));
        Numpress scheme = Numpress::None;
        if (numpress) {
            const std::string& name = (*numpress)[c];
            if (name == "linear") scheme = Numpress::Linear;
            else if (name == "slof") scheme = Numpress::Slof;
            else if (name != "none") throw nb::value_error("a numpress scheme is \"linear\", \"slof\" or \"none\"");
        }
        parts.push_back(Column{static_cast<const std::byte*>(a.data()), a.itemsize(), a.shape(0), scheme});
    }
    EncodedTexts texts;
    {
        nb::gil_scoped_release unlocked;
        texts = core::encode_arrays(parts, span_of(offsets), zlib ? Compression::Zlib : Compression::None, threads);
    }
    const std::size_t n = texts.bounds.size() / 2;
    return nb::make_tuple(numpy_of(std::move(texts.text)), numpy_of(std::move(texts.bounds), {n, 2}),
                          numpy_of(std::move(texts.numpressed)));
}

nb::object summarize(const nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>& mz,
                     const nb::ndarray<const float, nb::ndim<1>, nb::c_contig, nb::device::cpu>& intensity,
                     const Offsets& offsets) {
    if (mz.shape(0) != intensity.shape(0)) throw nb::value_error("mz and intensity differ in length");
    check_offsets(offsets, mz.shape(0));
    core::Array<double> out;
    {
        nb::gil_scoped_release unlocked;
        out = core::summarize_spectra({mz.data(), mz.shape(0)}, {intensity.data(), intensity.shape(0)}, span_of(offsets));
    }
    const std::size_t n = out.size() / core::summary_width;
    return numpy_of(std::move(out), {n, core::summary_width});
}

}  // namespace

}  // namespace tessmoor::pybulk

NB_MODULE(_native, m) {
    using namespace tessmoor::pybulk;
    if (_import_array() < 0) throw nb::python_error();
    m.doc() = "The native part of tessmoor_bulk (use the package, not this module).";

    format_error = PyErr_NewExceptionWithDoc(
        "tessmoor_bulk.FormatError",
        "A file of the run, or a scan in it, is malformed or changed while it was read.\n\n"
        "The text names the file and, where one is concerned, the function and the scan,\n"
        "followed by the message the module tessmoor gives for the same fault.",
        PyExc_RuntimeError, nullptr);
    if (!format_error) throw nb::python_error();
    m.attr("FormatError") = nb::handle(format_error);

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Raised& r) {
            raise_failure(r.failure);
        }
    });

    m.def("available_cores", &tessmoor::core::available_cores,
          "The number of cores this process may run on.");

    nb::class_<RunHandle>(m, "Run", "A run opened by the reader core.")
        .def("n_scans", &n_scans, "func"_a)
        .def("rt", &retention_times, "func"_a)
        .def("spectra", &read_spectra, "func"_a, "picks"_a.none(), "slice"_a.none(), "rt"_a.none(),
             "mz"_a.none(), "ims"_a, "threads"_a)
        .def("reduce", &reduce, "kind"_a, "func"_a, "picks"_a.none(), "slice"_a.none(), "rt"_a.none(),
             "mz"_a.none(), "targets"_a.none(), "ppm"_a.none(), "da"_a.none(), "threads"_a)
        .def("scan", &read_scan, "func"_a, "scan"_a, "ims"_a)
        .def("channel", &read_channel, "index"_a)
        .def("open_function", &open_function, "func"_a, "spectra"_a)
        .def("header", &header_fields)
        .def("calibrations", &calibrations)
        .def("instrument", &instrument);
    m.def("open_run", &open_run, "path"_a);

    m.def("encode_arrays", &encode, "columns"_a, "offsets"_a, "zlib"_a, "threads"_a, "numpress"_a.none() = nb::none(),
          "Base64 texts of the parts of float arrays, Numpress-encoded and zlib-compressed or not:\n"
          "(text, bounds, numpressed).");
    m.def("summarize_spectra", &summarize, "mz"_a, "intensity"_a, "offsets"_a,
          "Per spectrum: total ion current, base peak m/z and intensity, lowest and highest m/z.");

    nb::class_<FunctionHandle>(m, "Function", "One function of a run, opened for several reads.")
        .def_prop_ro("n_scans", [](const FunctionHandle& h) { return h.reader.size(); })
        .def_prop_ro("index_record_size", &index_record_size)
        .def_prop_ro("dat_size", [](const FunctionHandle& h) { return h.reader.dat_size(); })
        .def("select", &select_scans_of, "picks"_a.none(), "slice"_a.none(), "rt"_a.none())
        .def("spectra", &function_spectra, "scans"_a, "mz"_a.none(), "ims"_a, "threads"_a)
        .def("batches", &batch_bounds, "scans"_a, "max_scans"_a, "max_bytes"_a);
}
