// Lock-mass correction: time-of-flight m/z drift with the temperature of
// the flight tube, by some ppm over a run.  A lock-mass function records a
// reference compound of known m/z sprayed now and then; each of its scans
// where the reference peak is found gives a factor (known m/z / observed
// m/z), and every scan of the other functions has its m/z multiplied by
// the factor interpolated at its retention time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/access/run.hpp"
#include "core/bulk/parallel.hpp"
#include "core/io/buffer.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

// The factors found, by retention time: a view of a LockMassReference's
// arrays, ascending in rt_min.  Empty: no correction.
struct MzCorrection {
    std::span<const double> rt_min;
    std::span<const double> factor;

    bool empty() const noexcept { return rt_min.empty(); }
    // The factor at retention time `rt`: linear between the two reference
    // scans around it, the nearest one's beyond either end, 1.0 when there
    // is none (or rt is NaN).
    double at(double rt) const noexcept;
};

// The lock-mass scans where the reference peak was found, ascending in
// retention time: their scan numbers, retention times, the observed m/z
// (the most intense centroid within the window) and mz / observed.
struct LockMassReference {
    Array<std::int64_t> scans;
    Array<double> rt_min;
    Array<double> observed;
    Array<double> factor;
};

// The reference peak `mz` (within ± window_da) in every scan of `func`,
// centroided (the ion-mobility reading for a function with drift times).
Result<LockMassReference> find_lock_mass(const Run& run, std::uint32_t func, double mz, double window_da,
                                         unsigned threads, const Interrupt* interrupt = nullptr);

// The factor of every scan of `func`.
Result<Array<double>> lock_mass_factors(const Run& run, std::uint32_t func, const MzCorrection& correction);

}  // namespace tessmoor::core
