// Reads of many scans of one function as flat arrays.
//
// The scans are cut into chunks (plan.hpp), each decoded by one of several
// threads, into flat arrays (scan i's peaks at [offsets[i], offsets[i + 1]))
// without a copy: a thread counts the peaks of its chunk, learns where the
// chunk starts from the chunk before it, publishes where the next one
// starts, and only then writes, straight into its own slice of the output.
// Results are those of the one-scan reads bit for bit, whatever the number
// of threads; a bad scan fails the whole read (the first bad scan in output
// order decides), and nothing partial is returned.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/access/function_reader.hpp"
#include "core/bulk/centroid.hpp"
#include "core/bulk/check.hpp"
#include "core/bulk/parallel.hpp"
#include "core/bulk/selection.hpp"
#include "core/io/buffer.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

struct SpectraOptions {
    bool ims = false;          // the ion-mobility reading, with drift times
    std::optional<Window> mz;  // keep only the peaks inside (after the stages of `ions`)
    unsigned threads = 1;
    const Interrupt* interrupt = nullptr;  // lets the caller stop the call
    IonOptions ions{};         // drift window, centroids, lock-mass factors
};

struct SpectraBatch {
    Array<std::int64_t> scans;
    Array<double> rt_min;
    Array<std::int64_t> offsets;  // scans.size() + 1
    Array<double> mz;
    Array<float> intensity;
    Array<double> drift_time_ms;  // with ims only
    std::vector<BadScan> skipped;  // left out (ScanSelection::skip_bad)
};

// The scans of a function opened for spectra, its index loaded.
Result<SpectraBatch> read_spectra(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                  const SpectraOptions& options);

// A whole call: the function opened for spectra (again, once, when a file
// changed under the first attempt), the scans selected and read.
Result<SpectraBatch> read_spectra(const Run& run, std::uint32_t func, const ScanSelection& selection,
                                  const SpectraOptions& options);

// A function read batch by batch, for reads of bounded memory: opened once
// for the whole iteration (its index loaded, the scans selected and cut into
// batches of at most max_scans scans and max_peaks peaks), each batch read
// when asked for.  An iteration cannot start again, so a file that changes
// under it ends it: each batch checks that neither file changed.
class SpectraIteration {
public:
    static Result<SpectraIteration> open(const Run& run, std::uint32_t func, const ScanSelection& selection,
                                         bool ims, std::uint64_t max_scans, std::uint64_t max_peaks,
                                         unsigned threads = 1, const Interrupt* interrupt = nullptr);

    // The number of batches; an empty selection makes one empty batch.
    std::size_t size() const noexcept { return bounds_.size() - 1; }
    // Batch k (below size()), read with `options` (their `ims` as opened).
    Result<SpectraBatch> read(std::size_t k, const SpectraOptions& options) const;
    // The scans the iteration reads, and those it leaves out.
    const std::vector<std::uint64_t>& scans() const noexcept { return scans_; }
    const std::vector<BadScan>& skipped() const noexcept { return skipped_; }

private:
    explicit SpectraIteration(FunctionReader f) : f_(std::move(f)) {}
    FunctionReader f_;
    std::vector<std::uint64_t> scans_;
    std::vector<BadScan> skipped_;
    std::vector<std::size_t> bounds_;
};

// The scan numbers a selection names, from one read of the index.
Result<Array<std::int64_t>> selected_scans(const Run& run, std::uint32_t func, const ScanSelection& selection);

// The retention time of every scan of a function, from one read of its index.
Result<Array<double>> function_retention_times(const Run& run, std::uint32_t func);

// The scan numbers and retention times of `scans`, as arrays.
Result<Array<std::int64_t>> scan_numbers(std::span<const std::uint64_t> scans);
Result<Array<double>> retention_times(const FunctionReader& f, std::span<const std::uint64_t> scans);

}  // namespace tessmoor::core
