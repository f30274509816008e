// Bulk reads of whole functions (bulk.hpp) against the scan queries of Run.
//
// The input is a .raw directory (layout in run_input.hpp) whose prefix holds
// the parameters of the reads.  For each of the functions 0 to 3 the
// harness opens FunctionReaders, selects scans, reads them as one batch of
// spectra and reduces them to a chromatogram, each read once with one thread
// and once with three.  Every answer must be what the scan queries
// (Run::n_scans, retention_time, read_spectrum, read_ims_spectrum) give
// scan by scan, in output order: the same values bit for bit, or the failure
// of the first failing scan, of the same kind and with the same texts.
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
//   picks     a count byte (mod 16), then that many scan numbers
//   slice     a byte (bit 0: start given, bit 1: stop given), then start,
//             stop and step as scan numbers
//   rt window, m/z window (when their flags are set): a mode byte, then two
//             values
//   targets   (XIC) a count byte (mod 8), then per target a mode byte and a
//             value, then the tolerance: a byte, ppm or 1/64 Da, or 255
//             followed by a raw double
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
#include "core/bulk/bulk.hpp"
#include "core/access/function_reader.hpp"
#include "core/access/run.hpp"
#include "run_input.hpp"

using namespace tessmoor::core;

namespace {

using Purpose = FunctionReader::Purpose;

constexpr unsigned kThreadCounts[] = {1, 3};

void check_same_failure(const Failure& got, const Failure& want, const char* what) {
    FUZZ_CHECK(got.kind == want.kind, std::string(what) + ": " + got.context_text() + " / expected " +
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

// The scan queries of one function, each asked once per scan.
class PerScan {
public:
    PerScan(const Run& run, std::uint32_t func, std::uint64_t n) : run_(run), func_(func), plain_(n), ims_(n) {}

    const Expected<Spectrum, Failure>& spectrum(std::uint64_t i) {
        if (!plain_[i]) plain_[i].emplace(run_.read_spectrum(func_, i));
        return *plain_[i];
    }
    const Expected<ImsSpectrum, Failure>& ims(std::uint64_t i) {
        if (!ims_[i]) ims_[i].emplace(run_.read_ims_spectrum(func_, i));
        return *ims_[i];
    }

private:
    const Run& run_;
    std::uint32_t func_;
    std::vector<std::optional<Expected<Spectrum, Failure>>> plain_;
    std::vector<std::optional<Expected<ImsSpectrum, Failure>>> ims_;
};

// The failure of the first scan, in output order, whose query fails.
template <class Query>
std::optional<Failure> first_failure(std::span<const std::uint64_t> scans, Query&& query) {
    for (const std::uint64_t i : scans)
        if (const auto& r = query(i); !r) return r.error();
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

void check_spectra(const Run& run, const FunctionReader& f, std::span<const std::uint64_t> scans,
                   SpectraOptions options, PerScan& per_scan) {
    std::optional<Failure> want;
    if (options.ims && f.layout() == IndexLayout::A) {
        auto refused = run.read_ims_spectrum(f.func_index(), 0);
        FUZZ_CHECK(!refused, "read_ims_spectrum of a 22-byte-index function");
        want = std::move(refused).error();
    } else if (options.ims) {
        want = first_failure(scans, [&](std::uint64_t i) -> const auto& { return per_scan.ims(i); });
    } else {
        want = first_failure(scans, [&](std::uint64_t i) -> const auto& { return per_scan.spectrum(i); });
    }
    const std::uint64_t held = bytes_held(f, scans);

    for (const unsigned threads : kThreadCounts) {
        options.threads = threads;
        auto got = [&] {
            // Peaks take at most 20 bytes per 8-byte record; the scan
            // arrays, plans and chunks a few hundred bytes per scan.
            fuzz::AllocationWatch watch(held + 64 * scans.size(), 4, 64 << 10);
            auto batch = read_spectra(f, scans, options);
            watch.check("read_spectra");
            return batch;
        }();
        if (want) {
            FUZZ_CHECK(!got, "read_spectra succeeded where a scan query fails: " + want->context_text());
            check_same_failure(got.error(), *want, "read_spectra");
            continue;
        }
        FUZZ_CHECK(got.has_value(), "read_spectra failed: " + got.error().context_text());
        const SpectraBatch& b = *got;
        const std::size_t n = scans.size();
        FUZZ_CHECK(b.scans.size() == n && b.rt_min.size() == n && b.offsets.size() == n + 1, "batch sizes");
        FUZZ_CHECK(b.offsets[0] == 0, "first offset");
        FUZZ_CHECK(static_cast<std::uint64_t>(b.offsets[n]) == b.mz.size() && b.intensity.size() == b.mz.size() &&
                       b.drift_time_ms.size() == (options.ims ? b.mz.size() : 0),
                   "last offset and peak arrays");
        for (std::size_t p = 0; p < n; ++p) {
            FUZZ_CHECK(b.scans[p] == static_cast<std::int64_t>(scans[p]), "scan numbers");
            FUZZ_CHECK(fuzz::same_bits(b.rt_min[p], f.rt_min(scans[p])), "retention times");
            FUZZ_CHECK(b.offsets[p] <= b.offsets[p + 1], "offsets decrease");
            auto same_peaks = [&](const auto& s) {
                std::int64_t k = b.offsets[p];
                for (std::size_t q = 0; q < s.mz.size(); ++q) {
                    if (options.mz && !options.mz->contains(s.mz[q])) continue;
                    FUZZ_CHECK(k < b.offsets[p + 1], "a peak is missing from the batch");
                    FUZZ_CHECK(fuzz::same_bits(b.mz[k], s.mz[q]), "batch m/z");
                    FUZZ_CHECK(fuzz::same_bits(b.intensity[k], s.intensity[q]), "batch intensity");
                    if constexpr (requires { s.drift_time_ms; })
                        FUZZ_CHECK(fuzz::same_bits(b.drift_time_ms[k], s.drift_time_ms[q]), "batch drift time");
                    ++k;
                }
                FUZZ_CHECK(k == b.offsets[p + 1], "the batch holds peaks the scan query does not");
            };
            if (options.ims)
                same_peaks(*per_scan.ims(scans[p]));
            else
                same_peaks(*per_scan.spectrum(scans[p]));
        }
    }
}

void check_reduce(const FunctionReader& f, std::span<const std::uint64_t> scans, ReduceOptions options,
                  PerScan& per_scan) {
    const std::optional<Failure> want =
        first_failure(scans, [&](std::uint64_t i) -> const auto& { return per_scan.spectrum(i); });
    const std::size_t n = scans.size();
    const bool xic = options.kind == ReduceOptions::Kind::Xic;
    const std::size_t rows = xic ? options.targets.size() : 1;

    // The reductions of the scan queries' spectra, peak by peak in record
    // order.
    std::vector<double> intensity(rows * n, 0.0);
    std::vector<double> base_mz(n, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t p = 0; !want && p < n; ++p) {
        const Spectrum& s = *per_scan.spectrum(scans[p]);
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
    const std::uint64_t held = bytes_held(f, scans);

    for (const unsigned threads : kThreadCounts) {
        options.threads = threads;
        auto got = [&] {
            // One number per scan and target; chunk buffers of the scans'
            // bytes at most.
            fuzz::AllocationWatch watch(held + 64 * n * (rows + 4) + 64 * rows, 4, 64 << 10);
            auto c = reduce_scans(f, scans, options);
            watch.check("reduce_scans");
            return c;
        }();
        if (want) {
            FUZZ_CHECK(!got, "reduce_scans succeeded where a scan query fails: " + want->context_text());
            check_same_failure(got.error(), *want, "reduce_scans");
            continue;
        }
        FUZZ_CHECK(got.has_value(), "reduce_scans failed: " + got.error().context_text());
        const Chromatogram& c = *got;
        FUZZ_CHECK(c.scans.size() == n && c.rt_min.size() == n && c.intensity.size() == rows * n, "sizes");
        FUZZ_CHECK(c.mz.size() == (options.kind == ReduceOptions::Kind::BasePeak ? n : 0), "base peak m/z size");
        for (std::size_t p = 0; p < n; ++p) {
            FUZZ_CHECK(c.scans[p] == static_cast<std::int64_t>(scans[p]), "scan numbers");
            FUZZ_CHECK(fuzz::same_bits(c.rt_min[p], f.rt_min(scans[p])), "retention times");
            if (options.kind == ReduceOptions::Kind::BasePeak)
                FUZZ_CHECK(fuzz::same_bits(c.mz[p], base_mz[p]), "base peak m/z");
        }
        for (std::size_t k = 0; k < rows * n; ++k)
            FUZZ_CHECK(fuzz::same_bits(c.intensity[k], intensity[k]), "reduced intensity");
    }
}

void check_function(const Run& run, std::uint32_t func, const Params& params) {
    const std::uint8_t flags = params.flags;

    // Opened for scan counts and retention times, as n_scans and
    // retention_time read them.
    auto n = run.n_scans(func);
    {
        auto index = FunctionReader::open(run, func, Purpose::Index);
        if (!n) {
            FUZZ_CHECK(!index, "FunctionReader opened where n_scans fails: " + n.error().context_text());
            check_same_failure(index.error(), n.error(), "FunctionReader::open (index)");
        } else {
            FUZZ_CHECK(index.has_value(), "FunctionReader::open (index): " + index.error().context_text());
            FUZZ_CHECK(index->size() == *n, "FunctionReader size");
        }
    }

    // Opened for spectra: the function table first, as read_spectrum does.
    auto opened = FunctionReader::open(run, func, Purpose::Spectra);
    if (!opened) {
        auto s = run.read_spectrum(func, 0);
        FUZZ_CHECK(!s, "FunctionReader::open failed where read_spectrum succeeds");
        check_same_failure(opened.error(), s.error(), "FunctionReader::open (spectra)");
        return;
    }
    const FunctionReader& f = *opened;
    FUZZ_CHECK(n.has_value() && f.size() == *n, "FunctionReader size");
    std::vector<double> rts(f.size());
    for (std::uint64_t i = 0; i < f.size(); ++i) {
        auto rt = run.retention_time(func, i);
        FUZZ_CHECK(rt.has_value(), rt.error().context_text());
        FUZZ_CHECK(fuzz::same_bits(f.rt_min(i), *rt), "FunctionReader retention time");
        rts[i] = *rt;
    }

    // The selection, and the scans it must give.
    ScanSelection selection;
    std::vector<std::uint64_t> want;
    std::optional<std::string> want_error;
    std::optional<Failure> want_failure;  // what read_spectrum says of an out-of-range pick
    switch (flags & 3) {
        case 1: {
            selection.picks = std::span<const std::int64_t>(params.picks);
            for (const std::int64_t pick : params.picks) {
                const bool inside = pick < 0 ? pick >= -static_cast<std::int64_t>(f.size())
                                             : static_cast<std::uint64_t>(pick) < f.size();
                if (inside) {
                    want.push_back(pick < 0 ? f.size() - static_cast<std::uint64_t>(-pick)
                                            : static_cast<std::uint64_t>(pick));
                    continue;
                }
                want_error = "scan " + std::to_string(pick) + " out of range";
                if (pick >= 0) {
                    auto s = run.read_spectrum(func, static_cast<std::uint64_t>(pick));
                    FUZZ_CHECK(!s, "read_spectrum past the last scan");
                    want_failure = std::move(s).error();
                }
                break;
            }
            break;
        }
        case 2:
            selection.slice = params.slice;
            if (params.slice.step != 0) {
                want = model_slice(params.slice, f.size());
                break;
            }
            // A zero step (which Python refuses before) selects every scan.
            [[fallthrough]];
        default:
            for (std::uint64_t i = 0; i < f.size(); ++i) want.push_back(i);
    }
    if (flags & 4) {
        selection.rt = params.rt.of(rts);
        std::erase_if(want, [&](std::uint64_t i) { return !selection.rt->contains(rts[i]); });
    }

    auto selected = [&] {
        fuzz::AllocationWatch watch(f.size() + params.picks.size(), 16, 4096);
        auto s = select_scans(f, selection);
        watch.check("select_scans");
        return s;
    }();
    if (want_error) {
        FUZZ_CHECK(!selected, "select_scans accepted a pick out of range: " + *want_error);
        FUZZ_CHECK(selected.error().kind == Failure::Kind::ScanOutOfRange, selected.error().context_text());
        FUZZ_CHECK(selected.error().text() == *want_error, selected.error().text() + " / expected " + *want_error);
        if (want_failure) check_same_failure(selected.error(), *want_failure, "select_scans");
        return;
    }
    FUZZ_CHECK(selected.has_value(), "select_scans failed: " + selected.error().context_text());
    FUZZ_CHECK(*selected == want, "select_scans chose other scans");
    const std::span<const std::uint64_t> scans(*selected);

    // The m/z of the peaks read: where the windows and targets fall.
    PerScan per_scan(run, func, f.size());
    const bool ims = (flags & 8) != 0;
    std::vector<double> mzs;
    for (const std::uint64_t i : scans) {
        if (const auto& s = per_scan.spectrum(i)) mzs.insert(mzs.end(), s->mz.begin(), s->mz.end());
        if (ims && f.layout() == IndexLayout::B)
            if (const auto& s = per_scan.ims(i)) mzs.insert(mzs.end(), s->mz.begin(), s->mz.end());
    }
    std::optional<Window> mz;
    if (flags & 16) mz = params.mz.of(mzs);
    check_spectra(run, f, scans, SpectraOptions{ims, mz, 1}, per_scan);

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
    check_reduce(f, scans, reduce, per_scan);
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
    for (std::uint32_t func = 0; func <= 3; ++func) check_function(*run, func, Params::read(params));
    return 0;
}
