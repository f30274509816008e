#include "core/bulk/lock_mass.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/bulk/spectra.hpp"

namespace tessmoor::core {

double MzCorrection::at(double rt) const noexcept {
    const std::size_t n = rt_min.size();
    if (n == 0 || std::isnan(rt)) return 1.0;
    if (rt <= rt_min[0]) return factor[0];
    if (rt >= rt_min[n - 1]) return factor[n - 1];
    // rt_min[k - 1] <= rt < rt_min[k]; kept within the array should the
    // times not ascend after all.
    std::size_t k = static_cast<std::size_t>(std::upper_bound(rt_min.begin(), rt_min.end(), rt) - rt_min.begin());
    k = std::clamp<std::size_t>(k, 1, n - 1);
    const double r0 = rt_min[k - 1], r1 = rt_min[k];
    const double f0 = factor[k - 1], f1 = factor[k];
    const double w = (rt - r0) / (r1 - r0);
    const double step = f1 - f0;
    return f0 + w * step;
}

Result<LockMassReference> find_lock_mass(const Run& run, std::uint32_t func, double mz, double window_da,
                                         unsigned threads, const Interrupt* interrupt) {
    return guarded([&]() -> Result<LockMassReference> {
        if (!(std::isfinite(mz) && mz > 0.0))
            return Status::invalid_argument("the lock mass must be a positive m/z");
        if (!(std::isfinite(window_da) && window_da > 0.0))
            return Status::invalid_argument("the lock-mass window must be a positive number of daltons");
        TESSMOOR_ASSIGN_OR_RETURN(const FunctionFacts facts, describe_function(run, func));
        SpectraOptions options;
        options.ims = facts.variant == IndexVariant::B;
        options.mz = Window{mz - window_da, mz + window_da};
        options.threads = threads;
        options.interrupt = interrupt;
        options.ions.centroid = true;
        TESSMOOR_ASSIGN_OR_RETURN(const SpectraBatch batch, read_spectra(run, func, ScanSelection{}, options));

        // Per scan, the most intense centroid (the first on ties).
        std::vector<std::size_t> found;
        std::vector<double> observed;
        const std::size_t n = batch.scans.size();
        for (std::size_t i = 0; i < n; ++i) {
            const auto lo = static_cast<std::size_t>(batch.offsets[i]);
            const auto hi = static_cast<std::size_t>(batch.offsets[i + 1]);
            if (lo == hi || std::isnan(batch.rt_min[i])) continue;
            std::size_t best = lo;
            for (std::size_t k = lo + 1; k < hi; ++k)
                if (batch.intensity[k] > batch.intensity[best]) best = k;
            if (!(batch.mz[best] > 0.0)) continue;
            found.push_back(i);
            observed.push_back(batch.mz[best]);
        }
        // Ascending in retention time (scans are, unless the index says otherwise).
        std::vector<std::size_t> order(found.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return batch.rt_min[found[a]] < batch.rt_min[found[b]];
        });
        LockMassReference out;
        const std::size_t m = found.size();
        TESSMOOR_ASSIGN_OR_RETURN(out.scans, Array<std::int64_t>::allocate(m));
        TESSMOOR_ASSIGN_OR_RETURN(out.rt_min, Array<double>::allocate(m));
        TESSMOOR_ASSIGN_OR_RETURN(out.observed, Array<double>::allocate(m));
        TESSMOOR_ASSIGN_OR_RETURN(out.factor, Array<double>::allocate(m));
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = found[order[j]];
            out.scans[j] = batch.scans[i];
            out.rt_min[j] = batch.rt_min[i];
            out.observed[j] = observed[order[j]];
            out.factor[j] = mz / observed[order[j]];
        }
        return out;
    });
}

Result<Array<double>> lock_mass_factors(const Run& run, std::uint32_t func, const MzCorrection& correction) {
    return guarded([&]() -> Result<Array<double>> {
        TESSMOOR_ASSIGN_OR_RETURN(Array<double> out, function_retention_times(run, func));
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = correction.at(out[i]);
        return out;
    });
}

}  // namespace tessmoor::core
