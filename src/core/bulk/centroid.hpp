// From detector bins to ions: the stages a read may put between the record
// loop (records.hpp) and what consumes its peaks, in this order:
//
//   1. the drift window: only records whose drift time lies in it (the
//      ion-mobility reading);
//   2. centroiding: each peak of the scan becomes one centroid;
//   3. the lock-mass factor: every m/z (of a record, or of a centroid)
//      multiplied by the scan's factor.
//
// The consumer is any record sink: it sees the stages' output as records,
// so an m/z window, a TIC or an XIC applies to corrected centroids the way
// it applies to raw records.
//
// Centroiding.  A peak is a run of records that follow one another in the
// scan over consecutive time-of-flight bins; a missing bin (or a record of
// zero intensity, which is none) ends it, and so does a change of drift
// position in the ion-mobility reading, so that each drift position is
// centroided on its own.  A run is split at its valleys: walking up the
// bins, a record higher than the one before it, after the run has fallen,
// starts a new peak (the valley record stays with the peak before it).
// Each peak gives one centroid:
//
//   intensity  the sum of its records' intensities, in float64 in record
//              order, stored as float32;
//   m/z        one record: its m/z.  The apex (the first most intense
//              record) with a neighbour on each side: the vertex of the
//              parabola through the logarithms of the three intensities
//              (a Gaussian through them), at offset
//                  d = 0.5 * (ln L - ln R) / (ln L - 2 ln C + ln R)
//              bins from the apex, and the m/z there by quadratic
//              interpolation of the three records' m/z:
//                  m = mC + d * (mR - mL) / 2 + d * d * (mR - 2 mC + mL) / 2
//              (m/z is a smooth function of the bin, so this is the
//              calibration's own value at the fractional bin to far below
//              a ppm).  The apex at an end of the peak: the
//              intensity-weighted mean of its m/z and its neighbour's.
//   drift      the drift time of the peak's records.
//
// Every step is written out below in the order it is computed, as the
// record loop's arithmetic is.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bulk/lock_mass.hpp"
#include "core/bulk/plan.hpp"
#include "core/bulk/selection.hpp"
#include "core/decode/records.hpp"

namespace tessmoor::core {

// What a read does between the records and its output.
struct IonOptions {
    std::optional<Window> drift;  // drift times in ms (ion-mobility reading only)
    bool centroid = false;
    MzCorrection correction;  // empty: m/z as recorded

    bool active() const noexcept { return drift.has_value() || centroid || !correction.empty(); }
};

// The centroids of one scan, fed its records in order.  Reused scan after
// scan by one thread; its buffers grow to the longest peak run once.
class Centroider {
public:
    // `split_on_field4`: records of another drift position end a peak (the
    // ion-mobility reading; in the 1-D reading the field is a bin fraction).
    explicit Centroider(bool split_on_field4 = false) : split_on_field4_(split_on_field4) {}

    // Ready for a new scan, keeping the buffers.
    void reset(bool split_on_field4) {
        split_on_field4_ = split_on_field4;
        intensity_.clear();
        mz_.clear();
    }

    template <class Emit>
    void add(float value, double mz, double drift, RecordPosition pos, Emit& emit) {
        if (!intensity_.empty()) {
            const bool next_bin = static_cast<std::uint32_t>(pos.bin) == static_cast<std::uint32_t>(last_.bin) + 1;
            if (!next_bin || (split_on_field4_ && pos.field4 != last_.field4)) flush(emit);
        }
        if (intensity_.empty()) {
            drift_ = drift;
            first_ = pos;
        }
        intensity_.push_back(value);
        mz_.push_back(mz);
        last_ = pos;
    }

    // The centroids of the records buffered: at the end of a scan, or of a run.
    template <class Emit>
    void flush(Emit& emit) {
        const std::size_t n = intensity_.size();
        if (n == 0) return;
        std::size_t start = 0;
        bool falling = false;
        for (std::size_t i = 1; i < n; ++i) {
            if (intensity_[i] > intensity_[i - 1]) {
                if (falling) {
                    peak(start, i, emit);
                    start = i;
                    falling = false;
                }
            } else if (intensity_[i] < intensity_[i - 1]) {
                falling = true;
            }
        }
        peak(start, n, emit);
        intensity_.clear();
        mz_.clear();
    }

private:
    template <class Emit>
    void peak(std::size_t a, std::size_t b, Emit& emit) {
        const float* in = intensity_.data();
        const double* m = mz_.data();
        double sum = 0.0;
        std::size_t apex = a;
        for (std::size_t i = a; i < b; ++i) {
            sum = sum + static_cast<double>(in[i]);
            if (in[i] > in[apex]) apex = i;
        }
        double mz;
        if (b - a == 1) {
            mz = m[a];
        } else if (apex > a && apex + 1 < b) {
            const double l = std::log(static_cast<double>(in[apex - 1]));
            const double c = std::log(static_cast<double>(in[apex]));
            const double r = std::log(static_cast<double>(in[apex + 1]));
            const double c2 = 2.0 * c;
            const double den = (l - c2) + r;
            double d = 0.0;
            if (den < 0.0) {
                const double num = l - r;
                d = 0.5 * num;
                d = d / den;
                d = std::clamp(d, -0.5, 0.5);
            }
            const double ml = m[apex - 1], mc = m[apex], mr = m[apex + 1];
            const double slope = (mr - ml) / 2.0;
            const double curve = ((mr - 2.0 * mc) + ml) / 2.0;
            const double dd = d * d;
            mz = mc + d * slope;
            mz = mz + dd * curve;
        } else {
            const std::size_t nb = apex == a ? apex + 1 : apex - 1;
            const double wa = static_cast<double>(in[apex]);
            const double wn = static_cast<double>(in[nb]);
            const double num = wa * m[apex] + wn * m[nb];
            mz = num / (wa + wn);
        }
        const RecordPosition at{static_cast<std::uint16_t>(first_.bin + apex), first_.field4};
        emit(static_cast<float>(sum), mz, drift_, at);
    }

    bool split_on_field4_;
    std::vector<float> intensity_;
    std::vector<double> mz_;
    double drift_ = 0.0;
    RecordPosition first_;  // of the buffered run
    RecordPosition last_;
};

// The stages of IonOptions as a record sink around `Inner` (any record
// sink): drift window, centroiding when Centroid, the m/z factor.
template <class Inner, bool Centroid>
struct IonStages {
    static constexpr bool eager_mz = true;
    static constexpr bool wants_position = Centroid || detail::wants_position<Inner>;

    Inner& inner;
    const IonOptions& options;
    double factor;  // 1.0: no correction
    Centroider* centroider;

    bool scaled() const noexcept { return !options.correction.empty(); }

    void pass(float value, double mz, double drift, RecordPosition pos) {
        const double m = scaled() ? mz * factor : mz;
        if constexpr (detail::wants_position<Inner>)
            inner(value, [m] { return m; }, [drift] { return drift; }, pos);
        else
            inner(value, [m] { return m; }, [drift] { return drift; });
    }

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of, RecordPosition pos = {}) {
        double drift = 0.0;
        if (options.drift) {
            drift = drift_of();
            if (!options.drift->contains(drift)) return;
        } else if constexpr (Centroid || detail::wants_position<Inner>) {
            drift = drift_of();
        }
        if constexpr (Centroid) {
            auto emit = [&](float v, double m, double d, RecordPosition at) { pass(v, m, d, at); };
            centroider->add(value, mz_of(), drift, pos, emit);
        } else {
            const double m = scaled() ? mz_of() * factor : mz_of();
            if constexpr (detail::wants_position<Inner>)
                inner(value, [m] { return m; }, [&] { return options.drift ? drift : drift_of(); }, pos);
            else
                inner(value, [m] { return m; }, [&] { return options.drift ? drift : drift_of(); });
        }
    }

    void finish() {
        if constexpr (Centroid) {
            auto emit = [&](float v, double m, double d, RecordPosition at) { pass(v, m, d, at); };
            centroider->flush(emit);
        }
    }
};

// Hands the records of the scan at position p of a planned read to
// `inner` through the stages of `options`.  `centroider` is the thread's.
template <class Inner>
Status visit_ions(ChunkView& view, const PlannedRead& r, std::size_t p, const IonOptions& options, Inner& inner,
                  Centroider& centroider) {
    const double factor = options.correction.empty() ? 1.0 : options.correction.at(r.f.rt_min(r.scans[p]));
    auto run = [&](auto& stages) -> Status {
        TESSMOOR_RETURN_IF_ERROR(view.visit(r, p, stages));
        stages.finish();
        return Status::OK();
    };
    if (options.centroid) {
        centroider.reset(r.encoding == Encoding::B);
        IonStages<Inner, true> stages{inner, options, factor, &centroider};
        return run(stages);
    }
    IonStages<Inner, false> stages{inner, options, factor, &centroider};
    return run(stages);
}

// InvalidArgument for a drift window without the ion-mobility reading.
Status check_ion_options(const IonOptions& options, bool ims);

// How many of a function's records have a neighbour in the next bin (of
// the same drift position, for a function with drift times), in up to
// `sample` scans spread evenly over it: a continuous signal has most, data
// already reduced to one record per ion few.
struct NeighbourCount {
    std::uint64_t scans = 0;
    std::uint64_t records = 0;
    std::uint64_t with_next = 0;
};

Result<NeighbourCount> count_neighbours(const Run& run, std::uint32_t func, std::uint64_t sample);

}  // namespace tessmoor::core
