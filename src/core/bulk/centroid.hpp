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
//              bins from the apex (clamped to [-0.5, 0.5]), and the m/z
//              there by quadratic interpolation of the three records' m/z:
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
        state_.peak.n = 0;
    }

    // Feeds records 0 to n - 1: at(i, BlockRecord&) -> bool (false: no
    // record), drift_of(i, record) its drift time.  The state lives in
    // locals over the block, in registers: noisy profiles rise and fall at
    // random from record to record, so the running apex and its neighbours
    // are updated by selection rather than by branches the processor would
    // mispredict; only the end of a peak branches.
    template <class At, class DriftOf, class Emit>
    void feed(std::size_t n, const At& at, const DriftOf& drift_of, Emit& emit) {
        State s = state_;
        const std::uint64_t scale = field4_scale_;
        BlockRecord r;
        for (std::size_t i = 0; i < n; ++i) {
            if (!at(i, r)) continue;
            const float value = r.value;
            const double mz = r.mz;
            const std::uint64_t key = static_cast<std::uint64_t>(r.pos.field4) * scale + r.pos.bin;
            const std::uint32_t where = static_cast<std::uint32_t>(r.pos.field4) << 16 | r.pos.bin;
            Peak& p = s.peak;
            if (p.n > 0 && (key != s.key + 1 || (s.falling && value > s.prev_value))) {
                give(p, emit);
                p.n = 0;
            }
            if (p.n == 0) {
                p.drift = drift_of(i, r);
                p.sum = static_cast<double>(value);
                p.apex_value = value;
                p.apex_mz = mz;
                p.apex_at = where;
                p.has_left = p.has_right = s.falling = false;
                s.prev_is_apex = true;
            } else {
                s.falling = s.falling | (value < s.prev_value);
                p.sum = p.sum + static_cast<double>(value);
                const bool up = value > p.apex_value;
                const bool after_apex = s.prev_is_apex & !up;
                p.left_value = up ? s.prev_value : p.left_value;
                p.left_mz = up ? s.prev_mz : p.left_mz;
                p.has_left = p.has_left | up;
                p.right_value = after_apex ? value : p.right_value;
                p.right_mz = after_apex ? mz : p.right_mz;
                p.has_right = (p.has_right | after_apex) & !up;
                p.apex_value = up ? value : p.apex_value;
                p.apex_mz = up ? mz : p.apex_mz;
                p.apex_at = up ? where : p.apex_at;
                s.prev_is_apex = up;
            }
            ++p.n;
            s.prev_value = value;
            s.prev_mz = mz;
            s.key = key;
        }
        state_ = s;
    }

    // The last peak of the scan (or of what was fed so far).
    template <class Emit>
    void flush(Emit& emit) {
        if (state_.peak.n > 0) give(state_.peak, emit);
        state_.peak.n = 0;
    }

private:
    // The peak so far: its records, apex, the apex's neighbours (the record
    // before it, once the apex is not the first; the one after it, once it
    // came) and sum.
    struct Peak {
        std::size_t n = 0;
        bool has_left = false, has_right = false;
        float apex_value = 0.0f, left_value = 0.0f, right_value = 0.0f;
        double apex_mz = 0.0, left_mz = 0.0, right_mz = 0.0;
        std::uint32_t apex_at = 0;  // drift position << 16 | bin
        double sum = 0.0;
        double drift = 0.0;
    };
    struct State {
        Peak peak;
        std::uint64_t key = 0;
        bool falling = false;
        bool prev_is_apex = false;
        float prev_value = 0.0f;
        double prev_mz = 0.0;
    };

    template <class Emit>
    static void give(const Peak& p, Emit& emit) {
        double mz;
        if (p.n == 1) {
            mz = p.apex_mz;
        } else if (p.has_left && p.has_right) {
            // ln L - ln R and ln L - 2 ln C + ln R as the logarithms of
            // L / R and L R / C^2 (products of whole counts, exact).
            const double left = static_cast<double>(p.left_value);
            const double centre = static_cast<double>(p.apex_value);
            const double right = static_cast<double>(p.right_value);
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
            const double ml = p.left_mz, mc = p.apex_mz, mr = p.right_mz;
            const double slope = (mr - ml) / 2.0;
            const double curve = ((mr - 2.0 * mc) + ml) / 2.0;
            const double dd = d * d;
            mz = mc + d * slope;
            mz = mz + dd * curve;
        } else {
            const double wa = static_cast<double>(p.apex_value);
            const double wn = static_cast<double>(p.has_right ? p.right_value : p.left_value);
            const double mn = p.has_right ? p.right_mz : p.left_mz;
            const double num = wa * p.apex_mz + wn * mn;
            mz = num / (wa + wn);
        }
        const RecordPosition at{static_cast<std::uint16_t>(p.apex_at & 0xffffu),
                                static_cast<std::uint16_t>(p.apex_at >> 16)};
        emit(static_cast<float>(p.sum), mz, p.drift, at);
    }

    std::uint64_t field4_scale_ = 0;
    State state_;
};

// The stages of IonOptions as a record sink around `Inner` (any record
// sink): drift window, centroiding when Centroid, the m/z factor.
template <class Inner, bool Centroid>
struct IonStages {
    static constexpr bool eager_mz = true;
    static constexpr bool wants_position = detail::wants_position<Inner>;
    // Centroiding takes the records a block at a time (records.hpp).
    static constexpr bool wants_block = Centroid;

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

    // A record, without centroiding: the drift window, then the factor.
    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of, RecordPosition pos = {}) {
        double drift = 0.0;
        if (options.drift) {
            drift = drift_of();
            if (!options.drift->contains(drift)) return;
        }
        const double m = scaled() ? mz_of() * factor : mz_of();
        auto drift_again = [&] { return options.drift ? drift : drift_of(); };
        if constexpr (detail::wants_position<Inner>)
            inner(value, [m] { return m; }, drift_again, pos);
        else
            inner(value, [m] { return m; }, drift_again);
    }

    // Records a block at a time, to the centroider.

    template <class At, class DriftAt>
    void block(std::size_t n, const At& at, const DriftAt& drift_at) {
        auto emit = [&](float v, double m, double d, RecordPosition p) { pass(v, m, d, p); };
        if (options.drift) {
            const Window w = *options.drift;
            centroider->feed(
                n,
                [&](std::size_t i, BlockRecord& r) { return at(i, r) && w.contains(drift_at(r.bytes)); },
                [&](std::size_t, const BlockRecord& r) { return drift_at(r.bytes); }, emit);
        } else {
            centroider->feed(n, at, [&](std::size_t, const BlockRecord& r) { return drift_at(r.bytes); }, emit);
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
// already reduced to one record per ion few.  Scans that cannot be read are
// left out of the count.
struct NeighbourCount {
    std::uint64_t scans = 0;
    std::uint64_t records = 0;
    std::uint64_t with_next = 0;
};

Result<NeighbourCount> count_neighbours(const Run& run, std::uint32_t func, std::uint64_t sample);

}  // namespace tessmoor::core
