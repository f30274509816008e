// The native part of tessmoor_bulk: the core's reads as numpy arrays, and
// the encoding of mzML arrays.  It converts arguments and results and hands
// failures to the error table (errors.cpp); the reading, deciding and
// looping happen in src/core.
//
// Every call into the core releases the interpreter lock, so other Python
// threads run while files are read and scans decoded.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/tessmoor/reader.hpp"
#include "bindings/tessmoor_bulk/arrays.hpp"
#include "bindings/tessmoor_bulk/errors.hpp"
#include "core/access/function_reader.hpp"
#include "core/access/run.hpp"
#include "core/bulk/centroid.hpp"
#include "core/bulk/lock_mass.hpp"
#include "core/bulk/parallel.hpp"
#include "core/bulk/reduce.hpp"
#include "core/bulk/spectra.hpp"
#include "core/export/arrays.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tessmoor::pybulk {

namespace {

using Picks = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Targets = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Pair = std::pair<double, double>;
using SliceArgs = std::tuple<std::optional<std::int64_t>, std::optional<std::int64_t>, std::int64_t>;

// Ctrl-C, or any signal whose handler raises, stops a long call: the
// waiting thread takes the interpreter lock now and then to let the
// handlers run.  The exception a handler raised stays pending, and is the
// one the call raises (errors.cpp).
const core::Interrupt python_signals{[] {
    nb::gil_scoped_acquire locked;
    return PyErr_CheckSignals() != 0;
}};

std::optional<core::Window> window_of(const std::optional<Pair>& p) {
    if (!p) return std::nullopt;
    return core::Window{p->first, p->second};
}

core::ScanSelection selection_of(const std::optional<Picks>& picks, const std::optional<SliceArgs>& slice,
                                 const std::optional<Pair>& rt, bool skip_bad = false) {
    core::ScanSelection s;
    s.skip_bad = skip_bad;
    if (picks) s.picks = std::span<const std::int64_t>(picks->data(), picks->shape(0));
    if (slice) s.slice = core::ScanSlice{std::get<0>(*slice), std::get<1>(*slice), std::get<2>(*slice)};
    s.rt = window_of(rt);
    return s;
}

// A lock-mass correction as Python hands it: (rt_min, factor), float64.
using Lock = std::pair<Targets, Targets>;

core::IonOptions ion_options(const std::optional<Pair>& drift, bool centroid, const std::optional<Lock>& lock) {
    core::IonOptions o;
    o.drift = window_of(drift);
    o.centroid = centroid;
    if (lock) {
        if (lock->first.shape(0) != lock->second.shape(0))
            throw Raised{core::Status::invalid_argument("a lock-mass correction needs one factor per retention time")};
        o.correction = core::MzCorrection{{lock->first.data(), lock->first.shape(0)},
                                          {lock->second.data(), lock->second.shape(0)}};
    }
    return o;
}

// [(scan, message)] of the scans a read left out.
nb::list skipped_list(const std::vector<core::BadScan>& skipped) {
    nb::list out;
    for (const core::BadScan& b : skipped) {
        const std::string text = b.status.context_text();
        out.append(nb::make_tuple(b.scan, nb::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                                         "backslashreplace"))));
    }
    return out;
}

nb::object spectra_tuple(core::SpectraBatch&& b, bool ims) {
    nb::object drift = ims ? numpy_of(std::move(b.drift_time_ms)) : nb::none();
    return nb::make_tuple(numpy_of(std::move(b.scans)), numpy_of(std::move(b.rt_min)),
                          numpy_of(std::move(b.offsets)), numpy_of(std::move(b.mz)),
                          numpy_of(std::move(b.intensity)), drift, skipped_list(b.skipped));
}

// (scans, rt_min, intensity, mz): intensity has one row per target for an
// XIC; mz (the base peaks') is None for the other kinds.
nb::object chromatogram_tuple(core::Chromatogram&& c, const core::ReduceOptions& o) {
    const std::size_t n = c.scans.size();
    nb::object intensity = o.kind == core::ReduceOptions::Kind::Xic
                               ? numpy_of(std::move(c.intensity), {o.targets.size(), n})
                               : numpy_of(std::move(c.intensity));
    nb::object mz = o.kind == core::ReduceOptions::Kind::BasePeak ? numpy_of(std::move(c.mz)) : nb::none();
    return nb::make_tuple(numpy_of(std::move(c.scans)), numpy_of(std::move(c.rt_min)), intensity, mz,
                          skipped_list(c.skipped));
}

core::ReduceOptions reduce_options(const std::string& kind, const std::optional<Pair>& mz,
                                   const std::optional<Targets>& targets, std::optional<double> ppm,
                                   std::optional<double> da, unsigned threads) {
    core::ReduceOptions o;
    o.threads = threads;
    o.interrupt = &python_signals;
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
        throw Raised{core::Status::internal("unknown chromatogram kind " + kind)};
    }
    return o;
}

// ---------------------------------------------------------------------------
// The run

struct RunHandle {
    core::Run run;
};

// A path as the file system's bytes (os.fsencode), so that names that are
// not UTF-8 open too.
RunHandle open_run(const nb::bytes& path) {
    std::string p(path.c_str(), path.size());
    nb::gil_scoped_release unlocked;
    core::Run run = take(core::Run::open(std::move(p)));
    run.policy = core::ReadPolicy{.listed_only = true, .refuse_special_files = true};
    return RunHandle{std::move(run)};
}

// A tessmoor.RawReader owning a copy of what this run parsed when it was
// opened: the directory is not read again.
nb::object make_reader(const RunHandle& r) {
    nb::object type = nb::module_::import_("tessmoor").attr("RawReader");
    if (nb::cast<std::size_t>(type.attr("__basicsize__")) != sizeof(py::Reader))
        throw Raised{core::Status::internal("tessmoor.RawReader is not the class this module was built with")};
    core::Run copy = r.run;
    copy.policy = {};  // the module's own rules
    PyObject* reader = py::new_reader(reinterpret_cast<PyTypeObject*>(type.ptr()), std::move(copy));
    if (!reader) throw nb::python_error();
    return nb::steal(reader);
}

std::uint64_t n_scans(const RunHandle& r, std::uint32_t func) {
    nb::gil_scoped_release unlocked;
    return take(r.run.n_scans(func));
}

// (scans, index record size, drift times or not, DAT bytes).
nb::object describe(const RunHandle& r, std::uint32_t func) {
    core::FunctionFacts facts;
    {
        nb::gil_scoped_release unlocked;
        facts = take(core::describe_function(r.run, func));
    }
    return nb::make_tuple(facts.scan_count, core::record_size(facts.variant),
                          facts.variant == core::IndexVariant::B, facts.dat_size);
}

nb::object retention_times(const RunHandle& r, std::uint32_t func) {
    core::Array<double> rt;
    {
        nb::gil_scoped_release unlocked;
        rt = take(core::function_retention_times(r.run, func));
    }
    return numpy_of(std::move(rt));
}

nb::object read_spectra(const RunHandle& r, std::uint32_t func, std::optional<Picks> picks,
                        std::optional<SliceArgs> slice, std::optional<Pair> rt, std::optional<Pair> mz,
                        bool ims, unsigned threads, bool skip_bad, std::optional<Pair> drift, bool centroid,
                        std::optional<Lock> lock) {
    const core::ScanSelection selection = selection_of(picks, slice, rt, skip_bad);
    const core::SpectraOptions options{ims, window_of(mz), threads, &python_signals,
                                       ion_options(drift, centroid, lock)};
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
                  std::optional<double> da, unsigned threads, bool skip_bad, bool ims, std::optional<Pair> drift,
                  bool centroid, std::optional<Lock> lock) {
    const core::ScanSelection selection = selection_of(picks, slice, rt, skip_bad);
    core::ReduceOptions options = reduce_options(kind, mz, targets, ppm, da, threads);
    options.ims = ims;
    options.ions = ion_options(drift, centroid, lock);
    core::Chromatogram chrom;
    {
        nb::gil_scoped_release unlocked;
        chrom = take(core::reduce_scans(r.run, func, selection, options));
    }
    return chromatogram_tuple(std::move(chrom), options);
}

// (drift_time_ms, intensity (targets, positions)).
nb::object mobilogram(const RunHandle& r, std::uint32_t func, std::optional<Picks> picks,
                      std::optional<SliceArgs> slice, std::optional<Pair> rt, const Targets& targets,
                      std::optional<double> ppm, std::optional<double> da, std::optional<Pair> drift,
                      std::optional<Lock> lock, unsigned threads) {
    const core::ScanSelection selection = selection_of(picks, slice, rt);
    const std::vector<core::Window> windows =
        core::xic_windows(std::span<const double>(targets.data(), targets.shape(0)), ppm, da);
    const core::IonOptions ions = ion_options(drift, false, lock);
    core::Mobilogram out;
    {
        nb::gil_scoped_release unlocked;
        out = take(core::reduce_mobilogram(r.run, func, selection, windows, ions, threads, &python_signals));
    }
    const std::size_t cols = out.drift_time_ms.size();
    return nb::make_tuple(numpy_of(std::move(out.drift_time_ms)),
                          numpy_of(std::move(out.intensity), {windows.size(), cols}));
}

// (scans, rt_min, observed m/z, factor) of the lock-mass scans where the
// reference peak was found.
nb::object lock_mass_reference(const RunHandle& r, std::uint32_t func, double mz, double window_da,
                               unsigned threads) {
    core::LockMassReference ref;
    {
        nb::gil_scoped_release unlocked;
        ref = take(core::find_lock_mass(r.run, func, mz, window_da, threads, &python_signals));
    }
    return nb::make_tuple(numpy_of(std::move(ref.scans)), numpy_of(std::move(ref.rt_min)),
                          numpy_of(std::move(ref.observed)), numpy_of(std::move(ref.factor)));
}

nb::object lock_mass_factors(const RunHandle& r, std::uint32_t func, const Lock& lock) {
    const core::IonOptions ions = ion_options(std::nullopt, false, lock);
    core::Array<double> out;
    {
        nb::gil_scoped_release unlocked;
        out = take(core::lock_mass_factors(r.run, func, ions.correction));
    }
    return numpy_of(std::move(out));
}

// (scans sampled, records, records followed by their next bin's).
nb::object neighbours(const RunHandle& r, std::uint32_t func, std::uint64_t sample) {
    core::NeighbourCount c;
    {
        nb::gil_scoped_release unlocked;
        c = take(core::count_neighbours(r.run, func, sample));
    }
    return nb::make_tuple(c.scans, c.records, c.with_next);
}

// One scan; a negative number counts from the end.
nb::object read_scan(const RunHandle& r, std::uint32_t func, std::int64_t scan, bool ims) {
    // The magnitude of a negative number, without overflow at INT64_MIN.
    const std::uint64_t magnitude =
        scan < 0 ? ~static_cast<std::uint64_t>(scan) + 1 : static_cast<std::uint64_t>(scan);
    core::ScanRead s;
    {
        nb::gil_scoped_release unlocked;
        s = take(r.run.read_scan(func, magnitude, scan < 0, ims));
    }
    nb::object drift = ims ? numpy_of(std::move(s.peaks.drift_time_ms)) : nb::none();
    return nb::make_tuple(s.scan, s.rt_min, numpy_of(std::move(s.peaks.mz)), numpy_of(std::move(s.peaks.intensity)),
                          drift);
}

// (rt_min, value, name, units): name and units as the channel table lists
// them, None for a channel it does not list.
nb::object read_channel(const RunHandle& r, std::uint64_t index) {
    core::ChannelTrace trace;
    {
        nb::gil_scoped_release unlocked;
        trace = take(core::read_channel(r.run, index));
    }
    nb::object name = nb::none(), units = nb::none();
    if (r.run.chroms_inf)
        for (const core::ChromChannel& c : r.run.chroms_inf->channels)
            if (c.index == index) {
                name = nb::str(c.name.data(), c.name.size());
                units = nb::str(c.units.data(), c.units.size());
                break;
            }
    return nb::make_tuple(numpy_of(std::move(trace.rt_min)), numpy_of(std::move(trace.value)), name, units);
}

// ---------------------------------------------------------------------------
// Iterations

struct IterationHandle {
    core::SpectraIteration iteration;
    bool ims;
};

IterationHandle iterate(const RunHandle& r, std::uint32_t func, std::optional<Picks> picks,
                        std::optional<SliceArgs> slice, std::optional<Pair> rt, bool ims, std::uint64_t max_scans,
                        std::uint64_t max_peaks, unsigned threads, bool skip_bad) {
    const core::ScanSelection selection = selection_of(picks, slice, rt, skip_bad);
    nb::gil_scoped_release unlocked;
    return IterationHandle{take(core::SpectraIteration::open(r.run, func, selection, ims, max_scans, max_peaks,
                                                             threads, &python_signals)),
                           ims};
}

// The scan numbers a selection names, int64, in the order of a read.
nb::object select_of(const RunHandle& r, std::uint32_t func, std::optional<Picks> picks, std::optional<SliceArgs> slice,
                  std::optional<Pair> rt) {
    const core::ScanSelection selection = selection_of(picks, slice, rt);
    core::Array<std::int64_t> out;
    {
        nb::gil_scoped_release unlocked;
        out = take(core::selected_scans(r.run, func, selection));
    }
    return numpy_of(std::move(out));
}

nb::object iteration_scans(const IterationHandle& h) {
    const auto& scans = h.iteration.scans();
    core::Array<std::int64_t> out = take(core::Array<std::int64_t>::allocate(scans.size()));
    for (std::size_t k = 0; k < scans.size(); ++k) out[k] = static_cast<std::int64_t>(scans[k]);
    return numpy_of(std::move(out));
}

// (scan count, drift times or not, [(kind, scan, message)]).
nb::object check_function(const RunHandle& r, std::uint32_t func, unsigned threads) {
    core::FunctionCheck c;
    {
        nb::gil_scoped_release unlocked;
        c = take(core::check_function(r.run, func, threads, &python_signals));
    }
    using Kind = core::ScanProblem::Kind;
    nb::list problems;
    for (const core::ScanProblem& p : c.problems) {
        const char* kind = p.kind == Kind::OutOfBounds       ? "out_of_bounds"
                           : p.kind == Kind::Undecodable     ? "undecodable"
                           : p.kind == Kind::MzOutOfRange    ? "mz_out_of_range"
                           : p.kind == Kind::DriftBeyondScan ? "drift_beyond_scan"
                                                             : "rt_backwards";
        problems.append(nb::make_tuple(kind, p.scan, nb::str(p.message.data(), p.message.size())));
    }
    return nb::make_tuple(c.scan_count, c.drift_times, problems);
}

nb::object read_batch(const IterationHandle& h, std::size_t k, std::optional<Pair> mz, unsigned threads,
                      std::optional<Pair> drift, bool centroid, std::optional<Lock> lock) {
    const core::SpectraOptions options{h.ims, window_of(mz), threads, &python_signals,
                                       ion_options(drift, centroid, lock)};
    core::SpectraBatch batch;
    {
        nb::gil_scoped_release unlocked;
        batch = take(h.iteration.read(k, options));
    }
    return spectra_tuple(std::move(batch), h.ims);
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
// ---------------------------------------------------------------------------
// mzML arrays

using Values = nb::ndarray<nb::ro, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Offsets = Picks;  // positions into flat arrays, int64 like scan numbers

std::span<const std::int64_t> span_of(const Offsets& offsets) { return {offsets.data(), offsets.shape(0)}; }

// (text uint8, bounds int64 (texts, 2), numpressed uint8 (texts)): see
// encode_arrays.  `numpress` names each column's scheme ("linear", "slof"
// or "none"); None for none at all.
nb::object encode(const std::vector<Values>& columns, const Offsets& offsets, bool zlib, unsigned threads,
                  const std::optional<std::vector<std::string>>& numpress) {
    if (numpress && numpress->size() != columns.size())
        throw nb::value_error("numpress must name one scheme per column");
    std::vector<core::Column> parts;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const Values& a = columns[c];
        if (a.dtype() != nb::dtype<double>() && a.dtype() != nb::dtype<float>())
            throw nb::type_error("the arrays to encode must hold float32 or float64 values");
        core::Numpress scheme = core::Numpress::None;
        if (numpress) {
            const std::string& name = (*numpress)[c];
            if (name == "linear") scheme = core::Numpress::Linear;
            else if (name == "slof") scheme = core::Numpress::Slof;
            else if (name != "none") throw nb::value_error("a numpress scheme is \"linear\", \"slof\" or \"none\"");
        }
        parts.push_back(core::Column{static_cast<const std::byte*>(a.data()), a.itemsize(), a.shape(0), scheme});
    }
    core::EncodedTexts texts;
    {
        nb::gil_scoped_release unlocked;
        texts = take(core::encode_arrays(parts, span_of(offsets),
                                         zlib ? core::Compression::Zlib : core::Compression::None, threads,
                                         &python_signals));
    }
    const std::size_t n = texts.bounds.size() / 2;
    return nb::make_tuple(numpy_of(std::move(texts.text)), numpy_of(std::move(texts.bounds), {n, 2}),
                          numpy_of(std::move(texts.numpressed)));
}

nb::object summarize(const nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>& mz,
                     const nb::ndarray<const float, nb::ndim<1>, nb::c_contig, nb::device::cpu>& intensity,
                     const Offsets& offsets) {
    core::Array<double> out;
    {
        nb::gil_scoped_release unlocked;
        out = take(core::summarize_spectra({mz.data(), mz.shape(0)}, {intensity.data(), intensity.shape(0)},
                                           span_of(offsets)));
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
    install_error_table(m);

    m.def("available_cores", &tessmoor::core::available_cores, "The number of cores this process may run on.");

    nb::class_<RunHandle>(m, "Run", "A run opened by the reader core.")
        .def("reader", &make_reader)
        .def("n_scans", &n_scans, "func"_a)
        .def("describe", &describe, "func"_a)
        .def("rt", &retention_times, "func"_a)
        .def("spectra", &read_spectra, "func"_a, "picks"_a.none(), "slice"_a.none(), "rt"_a.none(),
             "mz"_a.none(), "ims"_a, "threads"_a, "skip_bad"_a, "drift"_a.none(), "centroid"_a, "lock"_a.none())
        .def("iterate", &iterate, "func"_a, "picks"_a.none(), "slice"_a.none(), "rt"_a.none(), "ims"_a,
             "max_scans"_a, "max_peaks"_a, "threads"_a, "skip_bad"_a)
        .def("reduce", &reduce, "kind"_a, "func"_a, "picks"_a.none(), "slice"_a.none(), "rt"_a.none(),
             "mz"_a.none(), "targets"_a.none(), "ppm"_a.none(), "da"_a.none(), "threads"_a, "skip_bad"_a, "ims"_a,
             "drift"_a.none(), "centroid"_a, "lock"_a.none())
        .def("check", &check_function, "func"_a, "threads"_a)
        .def("mobilogram", &mobilogram, "func"_a, "picks"_a.none(), "slice"_a.none(), "rt"_a.none(), "targets"_a,
             "ppm"_a.none(), "da"_a.none(), "drift"_a.none(), "lock"_a.none(), "threads"_a)
        .def("lock_mass_reference", &lock_mass_reference, "func"_a, "mz"_a, "window_da"_a, "threads"_a)
        .def("lock_mass_factors", &lock_mass_factors, "func"_a, "lock"_a)
        .def("neighbours", &neighbours, "func"_a, "sample"_a)
        .def("select", &select_of, "func"_a, "picks"_a.none(), "slice"_a.none(), "rt"_a.none())
        .def("scan", &read_scan, "func"_a, "scan"_a, "ims"_a)
        .def("channel", &read_channel, "index"_a)
        .def("header", &header_fields)
        .def("calibrations", &calibrations)
        .def("instrument", &instrument);
    m.def("open_run", &open_run, "path"_a);

    nb::class_<IterationHandle>(m, "Iteration", "A function read batch by batch.")
        .def("__len__", [](const IterationHandle& h) { return h.iteration.size(); })
        .def_prop_ro("scans", &iteration_scans)
        .def_prop_ro("skipped", [](const IterationHandle& h) { return skipped_list(h.iteration.skipped()); })
        .def("read", &read_batch, "batch"_a, "mz"_a.none(), "threads"_a, "drift"_a.none(), "centroid"_a,
             "lock"_a.none());

    m.def("encode_arrays", &encode, "columns"_a, "offsets"_a, "zlib"_a, "threads"_a, "numpress"_a.none() = nb::none(),
          "Base64 texts of the parts of float arrays, Numpress-encoded and zlib-compressed or not:\n"
          "(text, bounds, numpressed).");
    m.def("summarize_spectra", &summarize, "mz"_a, "intensity"_a, "offsets"_a,
          "Per spectrum: total ion current, base peak m/z and intensity, lowest and highest m/z.");
}
