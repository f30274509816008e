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
//                  d = 0.5 * ln(L / R) / ln(L R / C^2)
//              bins from the apex (clamped to [-0.5, 0.5]), and the m/z there by quadratic
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

// The centroids of one scan, fed its records in order.  It holds no
// buffer: a peak is summed as its records arrive, keeping its apex and the
// apex's two neighbours, and given out when the next record does not
// continue it (another bin, another drift position, or a rise after a
// fall) or the scan ends.  Reused scan after scan by one thread.
class Centroider {
public:
    // `split_on_field4`: records of another drift position end a peak (the
    // ion-mobility reading; in the 1-D reading the field is a bin fraction).
    explicit Centroider(bool split_on_field4 = false) { reset(split_on_field4); }

    // Ready for a new scan.
    void reset(bool split_on_field4) {
        // The drift position above the bin, one bit apart, so that "next
        // bin, same position" is key + 1 and the last bin's successor
        // (65536) cannot reach the next position.
        field4_scale_ = split_on_field4 ? std::uint64_t{1} << 17 : 0;
        n_ = 0;
    }

    // Noisy profiles rise and fall at random from record to record, so the
    // running apex and its neighbours are updated by selection rather than
    // by branches the processor would mispredict; only the end of a peak
    // branches.
    template <class Emit>
    void add(float value, double mz, double drift, RecordPosition pos, Emit& emit) {
        const std::uint64_t key = static_cast<std::uint64_t>(pos.field4) * field4_scale_ + pos.bin;
        const std::uint32_t at = static_cast<std::uint32_t>(pos.field4) << 16 | pos.bin;
        if (n_ > 0 && (key != key_ + 1 || (falling_ && value > prev_value_))) give(emit);
        if (n_ == 0) {
            drift_ = drift;
            sum_ = static_cast<double>(value);
            apex_value_ = value;
            apex_mz_ = mz;
            apex_at_ = at;
            has_left_ = has_right_ = falling_ = false;
            prev_is_apex_ = true;
        } else {
            falling_ = falling_ | (value < prev_value_);
            sum_ = sum_ + static_cast<double>(value);
            const bool up = value > apex_value_;
            const bool after_apex = prev_is_apex_ & !up;
            left_value_ = up ? prev_value_ : left_value_;
            left_mz_ = up ? prev_mz_ : left_mz_;
            has_left_ = has_left_ | up;
            right_value_ = after_apex ? value : right_value_;
            right_mz_ = after_apex ? mz : right_mz_;
            has_right_ = (has_right_ | after_apex) & !up;
            apex_value_ = up ? value : apex_value_;
            apex_mz_ = up ? mz : apex_mz_;
            apex_at_ = up ? at : apex_at_;
            prev_is_apex_ = up;
        }
        ++n_;
        prev_value_ = value;
        prev_mz_ = mz;
        key_ = key;
    }

    // The last peak of the scan (or of what was fed so far).
    template <class Emit>
    void flush(Emit& emit) {
        if (n_ > 0) give(emit);
    }

private:
    template <class Emit>
    void give(Emit& emit) {
        double mz;
        if (n_ == 1) {
            mz = apex_mz_;
        } else if (has_left_ && has_right_) {
            // ln L - ln R and ln L - 2 ln C + ln R as the logarithms of
            // L / R and L R / C^2 (products of whole counts, exact).
            const double left = static_cast<double>(left_value_);
            const double centre = static_cast<double>(apex_value_);
            const double right = static_cast<double>(right_value_);
            const double num = std::log(left / right);
            const double lr = left * right;
            const double cc = centre * centre;
            const double den = std::log(lr / cc);
            double d = 0.0;
            if (den < 0.0) {
                d = 0.5 * num;
                d = d / den;
                d = std::clamp(d, -0.5, 0.5);
            }
            const double ml = left_mz_, mc = apex_mz_, mr = right_mz_;
            const double slope = (mr - ml) / 2.0;
            const double curve = ((mr - 2.0 * mc) + ml) / 2.0;
            const double dd = d * d;
            mz = mc + d * slope;
            mz = mz + dd * curve;
        } else {
            const double wa = static_cast<double>(apex_value_);
            const double wn = static_cast<double>(has_right_ ? right_value_ : left_value_);
            const double mn = has_right_ ? right_mz_ : left_mz_;
            const double num = wa * apex_mz_ + wn * mn;
            mz = num / (wa + wn);
        }
        n_ = 0;
        const RecordPosition at{static_cast<std::uint16_t>(apex_at_ & 0xffffu), static_cast<std::uint16_t>(apex_at_ >> 16)};
        emit(static_cast<float>(sum_), mz, drift_, at);
    }

    std::uint64_t field4_scale_ = 0;
    std::size_t n_ = 0;  // records in the peak so far
    std::uint64_t key_ = 0;
    bool falling_ = false;
    bool has_left_ = false, has_right_ = false, prev_is_apex_ = false;
    float prev_value_ = 0.0f, apex_value_ = 0.0f, left_value_ = 0.0f, right_value_ = 0.0f;
    double prev_mz_ = 0.0, apex_mz_ = 0.0, left_mz_ = 0.0, right_mz_ = 0.0;
    std::uint32_t apex_at_ = 0;  // drift position << 16 | bin
    double sum_ = 0.0;
    double drift_ = 0.0;
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
