// Bulk reads of whole functions (spectra.hpp, reduce.hpp) against the scan
// queries of Run.
//
// The input is a .raw directory (layout in run_input.hpp) whose prefix holds
// the parameters of the reads.  For each of the functions 0 to 3 the
// harness opens FunctionReaders, selects scans, reads them as one batch of
// spectra, batch by batch (SpectraIteration), and reduces them to a
// chromatogram, each read with one thread and with three, on an opened
// reader and as a whole call.  Every answer must be what the one-scan reads
// (Run::n_scans, retention_time, read_scan) give scan by scan, in output
// order: the same values bit for bit, or the failure of the first failing
// scan, of the same kind and with the same texts.  Centroids, read in pieces
// and chunks, must be those of each scan's records fed to the centroider in
// one run.
//
// The core is built here with chunks of a few records (TESSMOOR_TEST_CHUNKS),
// so that a batch of a few scans spans several chunks and threads, and any
// scan of more than eight records is streamed in pieces.
//
// The parameters of one function, read in turn from the prefix (past its end
// every byte is 0):
//   flags     bits 0-1: the scans: every one, picks, a slice, every one
//             bit 2: and only those whose retention time lies in a window
//             bit 3: spectra with ion mobility
//             bit 4: spectra and reductions keep only an m/z window
//             bits 5-6: the reduction: TIC, base peak, XIC (ppm), XIC (Da)
//             bit 7: the batch limits of the iteration follow (else 3
//             scans and 24 peaks)
//   picks     a count byte (mod 16), then that many scan numbers
//   slice     a byte (bit 0: start given, bit 1: stop given), then start,
//             stop and step as scan numbers
//   rt window, m/z window (when their flags are set): a mode byte, then two
//             values
//   targets   (XIC) a count byte (mod 8), then per target a mode byte and a
//             value, then the tolerance: a byte, ppm or 1/64 Da, or 255
//             followed by a raw double
//   limits    (bit 7) the most scans of a batch (1 + a byte mod 8) and the
//             most peaks (a byte)
// A scan number is an int16, where -32768 and 32767 stand for INT64_MIN and
// INT64_MAX.  A value after a mode byte with bit 0 set is a raw double; else
// it is one byte that picks one of the values the function holds (its
// retention times, the m/z of the peaks read), so that bounds fall exactly
// on data.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common.hpp"
#include "core/access/function_reader.hpp"
#include "core/access/run.hpp"
#include "core/bulk/centroid.hpp"
#include "core/bulk/reduce.hpp"
#include "core/bulk/selection.hpp"
#include "core/bulk/spectra.hpp"
#include "run_input.hpp"

using namespace tessmoor::core;

namespace {

using Purpose = FunctionReader::Purpose;

constexpr unsigned kThreadCounts[] = {1, 3};

void check_same_failure(const Status& got, const Status& want, const char* what) {
    FUZZ_CHECK(!got.ok() && !want.ok(), what);
    FUZZ_CHECK(got.kind() == want.kind(), std::string(what) + ": " + got.context_text() + " / expected " +
                                              want.context_text());
    FUZZ_CHECK(got.text() == want.text(), std::string(what) + ": " + got.text() + " / expected " + want.text());
    FUZZ_CHECK(got.context_text() == want.context_text(),
               std::string(what) + ": " + got.context_text() + " / expected " + want.context_text());
}

std::int64_t scan_number(fuzz::Reader& in) {
    const auto v = in.value<std::int16_t>();
    if (v == std::numeric_limits<std::int16_t>::min()) return std::numeric_limits<std::int64_t>::min();
    if (v == std::numeric_limits<std::int16_t>::max()) return std::numeric_limits<std::int64_t>::max();
    return v;
}

// A bound or a target: a raw double, or a pick among the values seen.
struct Value {
    bool raw = false;
    double value = 0.0;
    std::uint8_t pick = 0;

    static Value read(fuzz::Reader& in, std::uint8_t mode) {
        Value v;
        v.raw = (mode & 1) != 0;
        if (v.raw)
            v.value = in.value<double>();
        else
            v.pick = in.byte();
        return v;
    }
    double of(const std::vector<double>& seen) const {
        if (raw) return value;
        return seen.empty() ? 0.0 : seen[pick % seen.size()];
    }
};

struct WindowParam {
    Value lo, hi;

    static WindowParam read(fuzz::Reader& in) {
        const std::uint8_t mode = in.byte();
        const Value lo = Value::read(in, mode);
        return WindowParam{lo, Value::read(in, mode)};
    }
    // Picked bounds in order; raw ones as they come, inverted or NaN.
    Window of(const std::vector<double>& seen) const {
        const double a = lo.of(seen), b = hi.of(seen);
        if (lo.raw) return Window{a, b};
        return Window{std::min(a, b), std::max(a, b)};
    }
};

// The parameters of one function, read whole before any file is touched, so
// that a function that fails early leaves the next one's where they were.
struct Params {
    std::uint8_t flags = 0;
    std::vector<std::int64_t> picks;
    ScanSlice slice;
    WindowParam rt, mz;
    std::vector<Value> targets;
    double tolerance = 0.0;
    std::uint64_t max_scans = 3;
    std::uint64_t max_peaks = 24;

    static Params read(fuzz::Reader& in) {
        Params p;
        p.flags = in.byte();
        if ((p.flags & 3) == 1) {
            p.picks.resize(in.byte() % 16);
            for (auto& pick : p.picks) pick = scan_number(in);
        } else if ((p.flags & 3) == 2) {
            const std::uint8_t given = in.byte();
            if (given & 1) p.slice.start = scan_number(in);
            if (given & 2) p.slice.stop = scan_number(in);
            p.slice.step = scan_number(in);
        }
        if (p.flags & 4) p.rt = WindowParam::read(in);
        if (p.flags & 16) p.mz = WindowParam::read(in);
        if (p.kind() == ReduceOptions::Kind::Xic) {
            p.targets.resize(in.byte() % 8);
            for (auto& t : p.targets) t = Value::read(in, in.byte());
            const std::uint8_t tol = in.byte();
            p.tolerance = tol == 255 ? in.value<double>() : p.in_da() ? tol / 64.0 : tol;
        }
        if (p.flags & 128) {
            p.max_scans = 1 + in.byte() % 8;
            p.max_peaks = in.byte();
        }
        return p;
    }
    ReduceOptions::Kind kind() const {
        switch ((flags >> 5) & 3) {
            case 0: return ReduceOptions::Kind::Tic;
            case 1: return ReduceOptions::Kind::BasePeak;
            default: return ReduceOptions::Kind::Xic;
        }
    }
    bool in_da() const { return ((flags >> 5) & 3) == 3; }
};

// Python's slicing of a list of n items, one index at a time.
std::vector<std::uint64_t> model_slice(const ScanSlice& s, std::uint64_t count) {
    const auto n = static_cast<std::int64_t>(count);
    std::vector<std::uint64_t> out;
    if (s.step > 0) {
        auto clamp = [&](std::optional<std::int64_t> v, std::int64_t absent) {
            if (!v) return absent;
            return *v < 0 ? std::max<std::int64_t>(*v + n, 0) : std::min(*v, n);
        };
        const std::int64_t stop = clamp(s.stop, n);
        for (std::int64_t i = clamp(s.start, 0); i < stop; i += s.step) {
            out.push_back(static_cast<std::uint64_t>(i));
            if (stop - i <= s.step) break;
        }
    } else {
        auto clamp = [&](std::optional<std::int64_t> v, std::int64_t absent) {
            if (!v) return absent;
            return *v < 0 ? std::max<std::int64_t>(*v + n, -1) : std::min(*v, n - 1);
        };
        // The step's magnitude, which INT64_MIN has only as an unsigned.
        const std::uint64_t back = 0 - static_cast<std::uint64_t>(s.step);
        const std::int64_t stop = clamp(s.stop, -1);
        for (std::int64_t i = clamp(s.start, n - 1); i > stop; i -= static_cast<std::int64_t>(back)) {
            out.push_back(static_cast<std::uint64_t>(i));
            if (static_cast<std::uint64_t>(i - stop) <= back) break;
        }
    }
    return out;
}

// The one-scan reads of one function, each asked once per scan.
class PerScan {
public:
    PerScan(const Run& run, std::uint32_t func, std::uint64_t n) : run_(run), func_(func), plain_(n), ims_(n) {}

    const Result<ScanRead>& scan(std::uint64_t i, bool ims) {
        auto& slot = ims ? ims_[i] : plain_[i];
        if (!slot) slot.emplace(run_.read_scan(func_, i, false, ims));
        return *slot;
    }

private:
    const Run& run_;
    std::uint32_t func_;
    std::vector<std::optional<Result<ScanRead>>> plain_;
    std::vector<std::optional<Result<ScanRead>>> ims_;
};

// The failure of the first scan, in output order, whose read fails.
std::optional<Status> first_failure(std::span<const std::uint64_t> scans, PerScan& per_scan, bool ims) {
    for (const std::uint64_t i : scans)
        if (const auto& r = per_scan.scan(i, ims); !r) return r.status();
    return std::nullopt;
}

// DAT bytes of the selected scans: what a read may allocate in proportion to.
std::uint64_t bytes_held(const FunctionReader& f, std::span<const std::uint64_t> scans) {
    std::uint64_t held = 0;
    for (const std::uint64_t i : scans) {
        const ScanRange r = f.range(i);
        if (r.kind == ScanRange::Kind::Bytes) held += r.end - r.start;
    }
    return held;
}

template <class T>
bool same_array(const Array<T>& a, const Array<T>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (!fuzz::same_bits(a[k], b[k])) return false;
    return true;
}

// What one selection of one function is read with, and what it must give.
struct Case {
    const Run& run;
    std::uint32_t func;
    const FunctionReader& f;
    const ScanSelection& selection;
    std::span<const std::uint64_t> scans;
    PerScan& per_scan;
    std::size_t input_size;
};

// A batch of spectra against the one-scan reads of its scans.
void check_batch(const Case& c, const SpectraBatch& b, std::span<const std::uint64_t> scans,
                 const SpectraOptions& options) {
    const std::size_t n = scans.size();
    FUZZ_CHECK(b.scans.size() == n && b.rt_min.size() == n && b.offsets.size() == n + 1, "batch sizes");
    FUZZ_CHECK(b.offsets[0] == 0, "first offset");
    FUZZ_CHECK(static_cast<std::uint64_t>(b.offsets[n]) == b.mz.size() && b.intensity.size() == b.mz.size() &&
                   b.drift_time_ms.size() == (options.ims ? b.mz.size() : 0),
               "last offset and peak arrays");
    for (std::size_t p = 0; p < n; ++p) {
        FUZZ_CHECK(b.scans[p] == static_cast<std::int64_t>(scans[p]), "scan numbers");
        FUZZ_CHECK(fuzz::same_bits(b.rt_min[p], c.f.rt_min(scans[p])), "retention times");
        FUZZ_CHECK(b.offsets[p] <= b.offsets[p + 1], "offsets decrease");
        const ScanRead& s = *c.per_scan.scan(scans[p], options.ims);
        std::int64_t k = b.offsets[p];
        for (std::size_t q = 0; q < s.peaks.mz.size(); ++q) {
            if (options.mz && !options.mz->contains(s.peaks.mz[q])) continue;
            FUZZ_CHECK(k < b.offsets[p + 1], "a peak is missing from the batch");
            FUZZ_CHECK(fuzz::same_bits(b.mz[k], s.peaks.mz[q]), "batch m/z");
            FUZZ_CHECK(fuzz::same_bits(b.intensity[k], s.peaks.intensity[q]), "batch intensity");
            if (options.ims) FUZZ_CHECK(fuzz::same_bits(b.drift_time_ms[k], s.peaks.drift_time_ms[q]), "batch drift");
            ++k;
        }
        FUZZ_CHECK(k == b.offsets[p + 1], "the batch holds peaks the one-scan read does not");
    }
}

// The centroids of the scans a batch holds, each scan's records fed to the
// centroider in one run: a read in pieces (every scan of more than eight
// records here) and in chunks must give the same, bit for bit.
struct CentroidSink {
    static constexpr bool eager_mz = true;
    std::vector<double> mz, drift;
    std::vector<float> intensity;

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of) {
        mz.push_back(mz_of());
        drift.push_back(drift_of());
        intensity.push_back(value);
    }
};

void check_centroids(const Case& c, const SpectraBatch& b, const SpectraOptions& options) {
    const Encoding encoding = encoding_for(c.f.variant(), options.ims);
    const std::size_t rs = record_size(encoding);
    Centroider centroider;
    for (std::size_t p = 0; p < c.scans.size(); ++p) {
        CentroidSink sink;
        const ScanRange r = c.f.range(c.scans[p]);
        if (r.kind == ScanRange::Kind::Bytes && r.end > r.start) {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(r.end - r.start));
            auto got = c.f.read(r.start, bytes);
            FUZZ_CHECK(got.ok(), "reading a scan whole: " + got.status().context_text());
            const std::uint8_t* last = got->data() + (got->size() >= rs ? got->size() - rs : 0);
            auto plan = plan_scan(encoding, got->size(), got->data(), last, c.f.calibration());
            FUZZ_CHECK(plan.ok(), "a scan the batch read fails to plan");
            centroider.reset(encoding == Encoding::B);
            IonStages<CentroidSink, true> stages{sink, options.ions, 1.0, &centroider};
            visit_scan(*plan, c.f.calibration(), got->data(), stages);
            stages.finish(*plan, c.f.calibration());
        }
        std::int64_t k = b.offsets[p];
        for (std::size_t q = 0; q < sink.mz.size(); ++q) {
            if (options.mz && !options.mz->contains(sink.mz[q])) continue;
            FUZZ_CHECK(k < b.offsets[p + 1], "a centroid is missing from the batch");
            FUZZ_CHECK(fuzz::same_bits(b.mz[k], sink.mz[q]) && fuzz::same_bits(b.intensity[k], sink.intensity[q]),
                       "centroids differ from those of the scan fed whole");
            if (options.ims) FUZZ_CHECK(fuzz::same_bits(b.drift_time_ms[k], sink.drift[q]), "centroid drift");
            ++k;
        }
        FUZZ_CHECK(k == b.offsets[p + 1], "the batch holds centroids the scan fed whole does not");
    }
}

// The function read batch by batch: the batches keep to their limits, and
// together they are the whole read, or fail where it fails.
void check_iteration(const Case& c, const SpectraOptions& options, const std::optional<Status>& want,
                     const Params& params) {
    auto it = SpectraIteration::open(c.run, c.func, c.selection, options.ims, params.max_scans, params.max_peaks);
    if (want && want->kind() == StatusKind::NotIms) {
        FUZZ_CHECK(!it, "SpectraIteration opened for drift times of a 22-byte index");
        check_same_failure(it.status(), *want, "SpectraIteration::open");
        return;
    }
    FUZZ_CHECK(it.ok(), "SpectraIteration::open: " + it.status().context_text());
    FUZZ_CHECK(it->size() >= 1, "an iteration has a batch");
    const Encoding encoding = encoding_for(c.f.variant(), options.ims);
    std::size_t done = 0;
    for (std::size_t k = 0; k < it->size(); ++k) {
        auto batch = it->read(k, options);
        if (!batch) {
            FUZZ_CHECK(want.has_value(), "a batch failed where the scans do not: " + batch.status().context_text());
            check_same_failure(batch.status(), *want, "SpectraIteration::read");
            return;
        }
        const std::size_t n = batch->scans.size();
        FUZZ_CHECK(n > 0 || c.scans.empty(), "an empty batch");
        FUZZ_CHECK(n <= params.max_scans, "a batch holds more scans than asked");
        FUZZ_CHECK(done + n <= c.scans.size(), "the batches hold more scans than the selection");
        const std::span<const std::uint64_t> part = c.scans.subspan(done, n);
        std::uint64_t most = 0;
        for (const std::uint64_t i : part) {
            const ScanRange r = c.f.range(i);
            if (r.kind == ScanRange::Kind::Bytes) most += max_peaks(encoding, r.end - r.start);
        }
        FUZZ_CHECK(n <= 1 || most <= params.max_peaks, "a batch of several scans holds more peaks than asked");
        check_batch(c, *batch, part, options);
        done += n;
    }
    FUZZ_CHECK(!want, "every batch read where a scan fails: " + (want ? want->context_text() : std::string()));
    FUZZ_CHECK(done == c.scans.size(), "the batches miss scans");
    FUZZ_CHECK(!it->read(it->size(), options), "a batch past the last one");
}

void check_spectra(const Case& c, SpectraOptions options, const Params& params) {
    std::optional<Status> want;
    if (options.ims && c.f.variant() == IndexVariant::A) {
        auto refused = c.run.read_scan(c.func, 0, false, true);
        FUZZ_CHECK(!refused, "read_scan for drift times of a 22-byte-index function");
        want = refused.status();
    } else {
        want = first_failure(c.scans, c.per_scan, options.ims);
    }
    const std::uint64_t held = bytes_held(c.f, c.scans);

    std::optional<SpectraBatch> first;
    for (const unsigned threads : kThreadCounts) {
        options.threads = threads;
        for (const bool whole_call : {false, true}) {
            auto got = [&] {
                // Peaks take at most 20 bytes per 8-byte record; the scan
                // arrays, plans and chunks a few hundred bytes per scan; a
                // whole call reads the index too.
                fuzz::AllocationWatch watch(held + 64 * c.scans.size() + (whole_call ? c.input_size : 0), 4,
                                            64 << 10);
                auto batch = whole_call ? read_spectra(c.run, c.func, c.selection, options)
                                        : read_spectra(c.f, c.scans, options);
                watch.check("read_spectra");
                return batch;
            }();
            if (want) {
                FUZZ_CHECK(!got, "read_spectra succeeded where a one-scan read fails: " + want->context_text());
                check_same_failure(got.status(), *want, "read_spectra");
                continue;
            }
            FUZZ_CHECK(got.ok(), "read_spectra failed: " + got.status().context_text());
            if (!first) {
                check_batch(c, *got, c.scans, options);
                first.emplace(std::move(got).value());
                continue;
            }
            FUZZ_CHECK(same_array(got->scans, first->scans) && same_array(got->rt_min, first->rt_min) &&
                           same_array(got->offsets, first->offsets) && same_array(got->mz, first->mz) &&
                           same_array(got->intensity, first->intensity) &&
                           same_array(got->drift_time_ms, first->drift_time_ms),
                       "read_spectra differs between thread counts or calls");
        }
    }
    options.threads = 2;
    check_iteration(c, options, want, params);

    if (want) return;
    options.ions.centroid = true;
    for (const unsigned threads : kThreadCounts) {
        options.threads = threads;
        auto centroids = read_spectra(c.f, c.scans, options);
        FUZZ_CHECK(centroids.ok(), "read_spectra with centroids failed: " + centroids.status().context_text());
        check_centroids(c, *centroids, options);
    }
}

void check_reduce(const Case& c, ReduceOptions options) {
    const std::optional<Status> want = first_failure(c.scans, c.per_scan, false);
    const std::span<const std::uint64_t> scans = c.scans;
    const std::size_t n = scans.size();
    const bool xic = options.kind == ReduceOptions::Kind::Xic;
    const std::size_t rows = xic ? options.targets.size() : 1;

    // The reductions of the one-scan reads' peaks, peak by peak in record
    // order.
    std::vector<double> intensity(rows * n, 0.0);
    std::vector<double> base_mz(n, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t p = 0; !want && p < n; ++p) {
        const Peaks& s = c.per_scan.scan(scans[p], false)->peaks;
        float best = 0.0f;
        for (std::size_t q = 0; q < s.mz.size(); ++q) {
            const double m = s.mz[q];
            const auto v = static_cast<double>(s.intensity[q]);
            if (xic) {
                for (std::size_t k = 0; k < rows; ++k)
                    if (options.targets[k].contains(m)) intensity[k * n + p] = intensity[k * n + p] + v;
                continue;
            }
            if (options.mz && !options.mz->contains(m)) continue;
            if (options.kind == ReduceOptions::Kind::Tic) {
                intensity[p] = intensity[p] + v;
            } else if (s.intensity[q] > best) {
                best = s.intensity[q];
                intensity[p] = v;
                base_mz[p] = m;
            }
        }
    }
    const std::uint64_t held = bytes_held(c.f, scans);

    for (const unsigned threads : kThreadCounts) {
        options.threads = threads;
        for (const bool whole_call : {false, true}) {
            auto got = [&] {
                // One number per scan and target; chunk buffers of the scans'
                // bytes at most.
                fuzz::AllocationWatch watch(held + 64 * n * (rows + 4) + 64 * rows + (whole_call ? c.input_size : 0),
                                            4, 64 << 10);
                auto r = whole_call ? reduce_scans(c.run, c.func, c.selection, options)
                                    : reduce_scans(c.f, scans, options);
                watch.check("reduce_scans");
                return r;
            }();
            if (want) {
                FUZZ_CHECK(!got, "reduce_scans succeeded where a one-scan read fails: " + want->context_text());
                check_same_failure(got.status(), *want, "reduce_scans");
                continue;
            }
            FUZZ_CHECK(got.ok(), "reduce_scans failed: " + got.status().context_text());
            const Chromatogram& ch = *got;
            FUZZ_CHECK(ch.scans.size() == n && ch.rt_min.size() == n && ch.intensity.size() == rows * n, "sizes");
            FUZZ_CHECK(ch.mz.size() == (options.kind == ReduceOptions::Kind::BasePeak ? n : 0), "base peak m/z size");
            for (std::size_t p = 0; p < n; ++p) {
                FUZZ_CHECK(ch.scans[p] == static_cast<std::int64_t>(scans[p]), "scan numbers");
                FUZZ_CHECK(fuzz::same_bits(ch.rt_min[p], c.f.rt_min(scans[p])), "retention times");
                if (options.kind == ReduceOptions::Kind::BasePeak)
                    FUZZ_CHECK(fuzz::same_bits(ch.mz[p], base_mz[p]), "base peak m/z");
            }
            for (std::size_t k = 0; k < rows * n; ++k)
                FUZZ_CHECK(fuzz::same_bits(ch.intensity[k], intensity[k]), "reduced intensity");
        }
    }
}

void check_function(const Run& run, std::uint32_t func, const Params& params, std::size_t input_size) {
    const std::uint8_t flags = params.flags;

    // Opened for scan counts and retention times, as n_scans and
    // retention_time open it.
    auto n = run.n_scans(func);
    {
        auto index = FunctionReader::open(run, func, Purpose::Index);
        if (!n) {
            FUZZ_CHECK(!index, "FunctionReader opened where n_scans fails: " + n.status().context_text());
            check_same_failure(index.status(), n.status(), "FunctionReader::open (index)");
            check_same_failure(function_retention_times(run, func).status(), n.status(), "function_retention_times");
        } else {
            FUZZ_CHECK(index.ok(), "FunctionReader::open (index): " + index.status().context_text());
            FUZZ_CHECK(index->scan_count() == *n, "FunctionReader scan count");
        }
    }

    // Opened for spectra: the function table first, as read_scan does.
    auto opened = FunctionReader::open(run, func, Purpose::Spectra);
    if (!opened) {
        auto s = run.read_scan(func, 0, false, false);
        FUZZ_CHECK(!s, "FunctionReader::open failed where read_scan succeeds");
        check_same_failure(opened.status(), s.status(), "FunctionReader::open (spectra)");
        return;
    }
    FunctionReader& f = *opened;
    FUZZ_CHECK(n.ok() && f.scan_count() == *n, "FunctionReader scan count");
    const Status loaded = f.load_index();
    FUZZ_CHECK(loaded.ok(), "load_index: " + loaded.context_text());
    std::vector<double> rts(f.scan_count());
    auto all_rts = function_retention_times(run, func);
    FUZZ_CHECK(all_rts.ok() && all_rts->size() == f.scan_count(), "function_retention_times");
    for (std::uint64_t i = 0; i < f.scan_count(); ++i) {
        auto rt = run.retention_time(func, i);
        FUZZ_CHECK(rt.ok(), rt.status().context_text());
        FUZZ_CHECK(fuzz::same_bits(f.rt_min(i), *rt), "FunctionReader retention time");
        FUZZ_CHECK(fuzz::same_bits((*all_rts)[i], *rt), "function_retention_times");
        rts[i] = *rt;
    }

    // The selection, and the scans it must give.
    ScanSelection selection;
    std::vector<std::uint64_t> want;
    std::optional<std::string> want_error;
    std::optional<Status> want_failure;  // what read_scan says of an out-of-range pick
    const std::uint64_t count = f.scan_count();
    switch (flags & 3) {
        case 1: {
            selection.picks = std::span<const std::int64_t>(params.picks);
            for (const std::int64_t pick : params.picks) {
                const bool negative = pick < 0;
                const std::uint64_t magnitude =
                    negative ? 0 - static_cast<std::uint64_t>(pick) : static_cast<std::uint64_t>(pick);
                if (negative ? magnitude <= count : magnitude < count) {
                    want.push_back(negative ? count - magnitude : magnitude);
                    continue;
                }
                want_error = "scan " + std::to_string(pick) + " out of range";
                auto s = run.read_scan(func, magnitude, negative, false);
                FUZZ_CHECK(!s, "read_scan outside the scans");
                want_failure = s.status();
                break;
            }
            break;
        }
        case 2:
            selection.slice = params.slice;
            if (params.slice.step != 0) {
                want = model_slice(params.slice, count);
                break;
            }
            // A zero step (which Python refuses before) selects every scan.
            [[fallthrough]];
        default:
            for (std::uint64_t i = 0; i < count; ++i) want.push_back(i);
    }
    if (flags & 4) {
        selection.rt = params.rt.of(rts);
        std::erase_if(want, [&](std::uint64_t i) { return !selection.rt->contains(rts[i]); });
    }

    auto selected = [&] {
        fuzz::AllocationWatch watch(count + params.picks.size(), 16, 4096);
        auto s = select_scans(f, selection);
        watch.check("select_scans");
        return s;
    }();
    const bool ims = (flags & 8) != 0;
    if (want_error) {
        FUZZ_CHECK(!selected, "select_scans accepted a pick out of range: " + *want_error);
        FUZZ_CHECK(selected.status().kind() == StatusKind::ScanOutOfRange, selected.status().context_text());
        FUZZ_CHECK(selected.status().text() == *want_error, selected.status().text() + " / expected " + *want_error);
        check_same_failure(selected.status(), *want_failure, "select_scans");
        // Whole calls select first.
        check_same_failure(read_spectra(run, func, selection, SpectraOptions{ims, std::nullopt, 2}).status(),
                           *want_failure, "read_spectra of a bad pick");
        check_same_failure(reduce_scans(run, func, selection, ReduceOptions{}).status(), *want_failure,
                           "reduce_scans of a bad pick");
        check_same_failure(SpectraIteration::open(run, func, selection, ims, 4, 100).status(), *want_failure,
                           "SpectraIteration of a bad pick");
        return;
    }
    FUZZ_CHECK(selected.ok(), "select_scans failed: " + selected.status().context_text());
    FUZZ_CHECK(*selected == want, "select_scans chose other scans");

    // The m/z of the peaks read: where the windows and targets fall.
    PerScan per_scan(run, func, count);
    std::vector<double> mzs;
    auto seen = [&](const Result<ScanRead>& s) {
        if (s) mzs.insert(mzs.end(), s->peaks.mz.data(), s->peaks.mz.data() + s->peaks.mz.size());
    };
    for (const std::uint64_t i : *selected) {
        seen(per_scan.scan(i, false));
        if (ims && f.variant() == IndexVariant::B) seen(per_scan.scan(i, true));
    }
    std::optional<Window> mz;
    if (flags & 16) mz = params.mz.of(mzs);
    const Case c{run, func, f, selection, *selected, per_scan, input_size};
    check_spectra(c, SpectraOptions{ims, mz, 1}, params);

    ReduceOptions reduce;
    reduce.kind = params.kind();
    reduce.mz = mz;
    if (reduce.kind == ReduceOptions::Kind::Xic) {
        std::vector<double> targets;
        for (const Value& t : params.targets) targets.push_back(t.of(mzs));
        if (params.in_da())
            reduce.targets = xic_windows(targets, std::nullopt, params.tolerance);
        else
            reduce.targets = xic_windows(targets, params.tolerance, std::nullopt);
    }
    check_reduce(c, reduce);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::RunInput input = fuzz::split_run_input(data, size);
    fuzz::write_dir(input.files);
    auto run = Run::open(fuzz::scratch_dir());
    // fuzz_run checks the opening.
    if (!run) return 0;
    fuzz::Reader params(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(input.prefix.data()), input.prefix.size()));
    for (std::uint32_t func = 0; func <= 3; ++func) check_function(*run, func, Params::read(params), size);
    return 0;
}
