// Chromatograms: every selected scan of a function reduced to a number (or
// one per target), on several threads, without storing a peak.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/access/function_reader.hpp"
#include "core/bulk/centroid.hpp"
#include "core/bulk/check.hpp"
#include "core/bulk/parallel.hpp"
#include "core/bulk/selection.hpp"
#include "core/io/buffer.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

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
    const Interrupt* interrupt = nullptr;  // lets the caller stop the call
    bool ims = false;             // the ion-mobility reading
    IonOptions ions{};            // drift window, centroids, lock-mass factors
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
    std::vector<BadScan> skipped;  // left out (ScanSelection::skip_bad)
};

Result<Chromatogram> reduce_scans(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                  const ReduceOptions& options);
// A whole call, as read_spectra's.
Result<Chromatogram> reduce_scans(const Run& run, std::uint32_t func, const ScanSelection& selection,
                                  const ReduceOptions& options);

// Mobilograms: per XIC target, the sum over the selected scans of the
// intensities inside its window, per drift position (the ion-mobility
// reading).  drift_time_ms holds the drift time of every position that
// holds a record inside some target's window, ascending; intensity one row
// of that length per target.
struct Mobilogram {
    Array<double> drift_time_ms;
    Array<double> intensity;
};

Result<Mobilogram> reduce_mobilogram(const Run& run, std::uint32_t func, const ScanSelection& selection,
                                     std::span<const Window> targets, const IonOptions& ions, unsigned threads,
                                     const Interrupt* interrupt = nullptr);

// The samples of an instrument channel, widened exactly to 64 bits.
struct ChannelTrace {
    Array<double> rt_min;
    Array<double> value;
};

Result<ChannelTrace> read_channel(const Run& run, std::uint64_t channel_index);

}  // namespace tessmoor::core
