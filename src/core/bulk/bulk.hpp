// Reads of many scans of one function at once: whole functions as flat
// arrays, and the chromatograms that reduce every scan to a number.
//
// The scans are cut into chunks of neighbouring DAT bytes, each read with
// one pread and decoded by one of several threads.  Spectra go into flat
// arrays (scan i's peaks at [offsets[i], offsets[i + 1])) without a copy:
// a thread counts the peaks of its chunk, learns where the chunk starts from
// the chunk before it, publishes where the next one starts, and only then
// decodes, straight into its own slice of the output.  Results are those of
// the scan queries bit for bit, whatever the number of threads; a bad scan
// fails the whole read (the first bad scan in output order decides the
// message), and nothing partial is returned.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/io/buffer.hpp"
#include "core/status.hpp"
#include "core/access/function_reader.hpp"

namespace tessmoor::core {

// A closed interval [lo, hi]; a NaN value lies in none.
struct Window {
    double lo = 0.0;
    double hi = 0.0;
    bool contains(double v) const noexcept { return v >= lo && v <= hi; }
};

// A slice of the scans, as Python writes one: start and stop absent or
// counting from the end when negative, clamped to the scans there are; a
// step that is not zero.
struct ScanSlice {
    std::optional<std::int64_t> start;
    std::optional<std::int64_t> stop;
    std::int64_t step = 1;
};

// Which scans a bulk read covers, in output order: explicit scan numbers
// (negative ones count from the end), a slice, or (neither) every scan; of
// these, only those whose retention time lies in `rt` when it is given.
struct ScanSelection {
    std::optional<std::span<const std::int64_t>> picks;
    std::optional<ScanSlice> slice;
    std::optional<Window> rt;
};

// The scan numbers of a selection; ScanOutOfRange for a pick outside the
// function.
Expected<std::vector<std::uint64_t>, Failure> select_scans(const FunctionReader& f,
                                                           const ScanSelection& selection);

// Where batches of at most `max_scans` scans and about `max_bytes` bytes of
// scan data each begin, for reads of bounded memory; the last entry is
// scans.size().  A scan larger than max_bytes makes a batch of its own.
std::vector<std::size_t> batch_bounds(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                      std::size_t max_scans, std::uint64_t max_bytes);

// The number of threads a read may use by default: the cores this process
// may run on.
unsigned available_cores() noexcept;

// Runs body(reader) on the function opened for `purpose`.  When a file
// changed under that attempt, the function is opened afresh and body runs
// once more; a second change is the caller's FileChanged failure.
template <class Body>
auto with_function(const Run& run, std::uint32_t func_index, FunctionReader::Purpose purpose, Body&& body)
    -> decltype(body(std::declval<const FunctionReader&>())) {
    for (int attempt = 0;; ++attempt) {
        auto f = FunctionReader::open(run, func_index, purpose);
        if (!f) return std::move(f).error();
        auto result = body(*f);
        if (result || result.error().kind != Failure::Kind::FileChanged || attempt > 0) return result;
    }
}

struct SpectraOptions {
    bool ims = false;             // Encoding B reading, with drift times
    std::optional<Window> mz;     // keep only the peaks inside
    unsigned threads = 1;
};

struct SpectraBatch {
    Array<std::int64_t> scans;
    Array<double> rt_min;
    Array<std::int64_t> offsets;  // scans.size() + 1
    Array<double> mz;
    Array<float> intensity;
    Array<double> drift_time_ms;  // with ims only
};

Expected<SpectraBatch, Failure> read_spectra(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                             const SpectraOptions& options);
// A whole call: the function opened for spectra (again, once, when a file
// changed under the first attempt), the scans selected and read.
Expected<SpectraBatch, Failure> read_spectra(const Run& run, std::uint32_t func_index,
                                             const ScanSelection& selection, const SpectraOptions& options);

// One number (or one per target) per scan.
struct ReduceOptions {
    enum class Kind : std::uint8_t {
        Tic,       // the sum of the scan's intensities, in record order
        BasePeak,  // the largest intensity and its m/z (the first, on ties)
        Xic,       // per target, the sum of the intensities inside its window
    };
    Kind kind = Kind::Tic;
    std::optional<Window> mz;     // Tic, BasePeak: only peaks inside count
    std::vector<Window> targets;  // Xic
    unsigned threads = 1;
};

// The m/z window of each XIC target: [target - tol, target + tol], where
// tol is `da`, or target * ppm / 1e6 (computed in that order).
std::vector<Window> xic_windows(std::span<const double> targets, std::optional<double> ppm,
                                std::optional<double> da);

struct Chromatogram {
    Array<std::int64_t> scans;
    Array<double> rt_min;
    Array<double> intensity;  // Xic: targets.size() rows of scans.size()
    Array<double> mz;         // BasePeak: m/z of each scan's base peak (NaN when none)
};

Expected<Chromatogram, Failure> reduce_scans(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                             const ReduceOptions& options);
// A whole call, as read_spectra's.
Expected<Chromatogram, Failure> reduce_scans(const Run& run, std::uint32_t func_index,
                                             const ScanSelection& selection, const ReduceOptions& options);

// The samples of an instrument channel, widened exactly to 64 bits.
struct ChannelTrace {
    Array<double> rt_min;
    Array<double> value;
};

Expected<ChannelTrace, Failure> read_channel(const Run& run, std::uint64_t channel_index);

}  // namespace tessmoor::core
