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
//   intensity  the sum of its records' intensities (whole counts, so the
//              sum is exact, whatever the order), stored as float32;
//   m/z        one record: its m/z.  The apex (the first most intense
//              record) with a neighbour on each side: the vertex of the
//              parabola through the logarithms of the three intensities
//              (a Gaussian through them), at offset
//                  d = 0.5 * (ln L - ln R) / ((ln L + ln R) - 2 ln C)
//              bins from the apex (0 unless the denominator is negative;
//              clamped to [-0.5, 0.5]), and the m/z
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
#include <cstring>
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
// scan by one thread.
//
// It works a block of records at a time, in three passes over small
// buffers that stay in the first-level cache:
//
//   1. gather: the records of the block that are peaks (an intensity, and
//      inside the drift window) are copied out as words (records.hpp);
//   2. split: one pass finds where each peak starts, its apex and the
//      running sum of intensities at its start, carrying a few integers
//      from record to record.  The only branch is the one that ends a peak:
//      the rest (rises, falls, a new apex) is noise, and noise would make
//      branches mispredict at every other record;
//   3. centroid: the m/z of each closed peak's apex and neighbours are
//      computed together, in a loop of arithmetic alone, and then each
//      centroid, with the logarithms of the counts from a table.
//
// So a scan of profile data costs three m/z per peak rather than one per
// record.  The peak still open at the end of a block is moved to the front
// of the buffer and its split goes on with the next block, so that peaks
// may cross blocks (and the pieces of a scan read in pieces).
class Centroider {
public:
    // `split_on_field4`: records of another drift position end a peak (the
    // ion-mobility reading; in the 1-D reading the field is a bin fraction).
    explicit Centroider(bool split_on_field4 = false) { reset(split_on_field4); }

    // Ready for a new scan.
    void reset(bool split_on_field4) {
        split_on_field4_ = split_on_field4;
        held_ = 0;
        open_ = {};
    }

    // Feeds the n records from `first` on, of the scan whose arithmetic is
    // `records` (records.hpp); keep(word) says whether a record with an
    // intensity is kept (the drift window), given as a word (records.hpp).
    template <class Records, class Keep, class Emit>
    void feed(const std::uint8_t* first, std::size_t n, const Records& records, const Keep& keep, Emit& emit) {
        constexpr std::size_t size = Records::size;
        std::size_t i = 0;
        while (i < n) {
            const std::size_t stop = std::min(n, i + block_records);
            reserve(held_ + (stop - i));
            std::size_t k = held_;
            std::uint64_t* const raw = raws_.data();
            for (; i < stop; ++i) {
                // Written whatever it is, and kept by moving on.
                const std::uint64_t w = Records::word(first + i * size);
                raw[k] = w;
                k += Records::count_w(w) != 0 && keep(w);
            }
            held_ = k;
            split(records, emit, false);
        }
    }

    // The last peak of the scan (or of what was fed so far).
    template <class Records, class Emit>
    void flush(const Records& records, Emit& emit) {
        split(records, emit, true);
        held_ = 0;
        open_ = {};
    }

private:
    static constexpr std::size_t block_records = 1024;

    // Room for `count` records.
    void reserve(std::size_t count) {
        if (raws_.size() >= count) return;
        const std::size_t size = std::max(count, 2 * raws_.size());
        raws_.resize(size);
        sums_.resize(size + 1);
        starts_.resize(size + 1);
        apexes_.resize(size + 1);
        mz_at_.resize(size);
        words_.resize(3 * size);
        mzs_.resize(3 * size);
    }

    // Splits the held records into peaks and gives out the closed ones
    // (and the last one too when `last`); the open one is moved to the
    // front.
    template <class Records, class Emit>
    void split(const Records& records, Emit& emit, bool last) {
        const std::size_t k = held_;
        if (k == 0) return;
        const std::uint64_t* const raw = raws_.data();
        std::uint32_t* const starts = starts_.data();
        std::uint32_t* const apexes = apexes_.data();
        std::uint64_t* const sums = sums_.data();
        sums[0] = 0;
        // Records as words (records.hpp), with a key that grows by `step`
        // from a record to the next bin (of the same drift position, when
        // split).
        unsigned key_shift = Records::bin_shift;
        std::uint64_t key_mask = 0xffff, step = 1;
        if constexpr (requires { Records::field4_shift; }) {
            static_assert(Records::bin_shift == Records::field4_shift + 16);
            if (split_on_field4_) key_shift = Records::field4_shift, key_mask = 0xffffffff, step = 0x10000;
        }
        auto count_of = [](std::uint64_t w) { return Records::count_w(w); };
        auto key_of = [&](std::uint64_t w) { return w >> key_shift & key_mask; };
        // A peak starts at a break in the keys, or where the signal rises
        // after it has fallen; `falling`: it has fallen since the peak
        // started.  The apex is the first most intense record; `sum` runs
        // over all records, and a peak's intensity is its difference.
        std::size_t m = 0;
        std::uint32_t start = 0, apex = 0;
        std::uint32_t before = count_of(raw[0]);
        std::uint32_t apex_count = before;
        std::uint64_t key = key_of(raw[0]);
        std::uint64_t sum = before;
        bool falling = false;
        // The open peak of the last block goes on where it stopped.
        std::uint32_t from = 1;
        if (open_.split_up_to > 0) {
            from = open_.split_up_to;
            apex = open_.apex;
            apex_count = count_of(raw[apex]);
            before = count_of(raw[from - 1]);
            key = key_of(raw[from - 1]);
            sum = open_.sum;
            falling = open_.falling;
        }
        for (std::size_t j = from; j < k; ++j) {
            const std::uint64_t r = raw[j];
            const std::int32_t v = static_cast<std::int32_t>(count_of(r));
            const std::uint64_t next = key_of(r);
            const std::int32_t change = v - static_cast<std::int32_t>(before);
            // Bitwise, not short-circuit: `falling` and the rise are noise.
            const bool starts_peak = (next - key != step) | (falling & (change > 0));
            if (starts_peak) [[unlikely]] {
                starts[m] = start;
                apexes[m] = apex;
                sums[m + 1] = sum;
                ++m;
                start = apex = static_cast<std::uint32_t>(j);
                apex_count = static_cast<std::uint32_t>(v);
                falling = false;
            } else {
                falling = falling | (change < 0);
                const bool up = static_cast<std::uint32_t>(v) > apex_count;
                apex = up ? static_cast<std::uint32_t>(j) : apex;
                apex_count = up ? static_cast<std::uint32_t>(v) : apex_count;
            }
            sum += static_cast<std::uint32_t>(v);
            before = static_cast<std::uint32_t>(v);
            key = next;
        }
        starts[m] = start;
        apexes[m] = apex;
        starts[m + 1] = static_cast<std::uint32_t>(k);
        sums[m + 1] = sum;
        const std::size_t closed = last ? m + 1 : m;
        give(records, emit, closed);
        if (last) {
            open_ = {};
            return;
        }
        // The open peak to the front, and where its split stopped: each
        // record is split once, however long a peak grows.
        const std::uint64_t before_open = sums[m];
        if (start > 0) {
            const std::size_t len = k - start;
            std::memmove(raws_.data(), raws_.data() + start, len * sizeof(std::uint64_t));
            held_ = len;
        }
        open_ = {static_cast<std::uint32_t>(k - start), apex - start, sum - before_open, falling};
    }

    // ln k of every whole count k (intensities are 16-bit), made once: a
    // centroid takes three, and looking them up costs far less than
    // computing them.  Each entry is std::log of the count, the value any
    // libm call ln(k) gives.
    static const double* ln_counts() {
        static const std::vector<double> table = [] {
            std::vector<double> t(std::size_t{1} << 16);
            for (std::size_t i = 1; i < t.size(); ++i) t[i] = std::log(static_cast<double>(i));
            return t;
        }();
        return table.data();
    }

    // Centroids of peaks 0 to count - 1 of starts_/apexes_ (peak j ends
    // where peak j + 1 starts).
    template <class Records, class Emit>
    void give(const Records& records, Emit& emit, std::size_t count) {
        const std::uint32_t* const starts = starts_.data();
        const std::uint32_t* const apexes = apexes_.data();
        const std::uint64_t* const raw = raws_.data();
        auto value = [&](std::uint32_t j) { return static_cast<float>(Records::count_w(raw[j])); };
        const double* const ln = ln_counts();
        // The m/z first, of every peak's apex and of the neighbours it has
        // inside the peak: the records side by side, then their m/z in one
        // loop of arithmetic alone.  Peak j's are from mz_at[j] on: left
        // (when it has one), apex, right (when it has one).  (Index
        // arithmetic, not choices: which neighbours a peak has is as random
        // as the noise.)
        std::uint64_t* const words = words_.data();
        std::uint32_t* const mz_at = mz_at_.data();
        double* const mzs = mzs_.data();
        std::uint32_t w = 0;
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t a = apexes[j];
            const std::uint32_t left = a > starts[j], right = a + 1 < starts[j + 1];
            mz_at[j] = w;
            words[w] = raw[a - left];
            w += left;
            words[w++] = raw[a];
            words[w] = raw[a + right];
            w += right;
        }
        for (std::size_t i = 0; i < w; ++i) mzs[i] = records.mz_w(words[i]);
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t s = starts[j], e = starts[j + 1], a = apexes[j];
            const bool has_left = a > s, has_right = a + 1 < e;
            const double* const m = mzs + mz_at[j] + has_left;  // the apex's
            double mz;
            if (e - s == 1) {
                mz = m[0];
            } else if (has_left && has_right) {
                const double ll = ln[Records::count_w(raw[a - 1])];
                const double lc = ln[Records::count_w(raw[a])];
                const double lr = ln[Records::count_w(raw[a + 1])];
                const double den = (ll + lr) - 2.0 * lc;
                double d = 0.0;
                if (den < 0.0) {
                    const double num = ll - lr;
                    d = 0.5 * num;
                    d = d / den;
                    d = std::clamp(d, -0.5, 0.5);
                }
                const double ml = m[-1], mc = m[0], mr = m[1];
                const double slope = (mr - ml) / 2.0;
                const double curve = ((mr - 2.0 * mc) + ml) / 2.0;
                const double dd = d * d;
                mz = mc + d * slope;
                mz = mz + dd * curve;
            } else {
                const double wa = static_cast<double>(value(a));
                const double wn = static_cast<double>(has_right ? value(a + 1) : value(a - 1));
                const double mn = has_right ? m[1] : m[-1];
                const double num = wa * m[0] + wn * mn;
                mz = num / (wa + wn);
            }
            const std::uint64_t total = sums_[j + 1] - sums_[j];
            // Every record of a peak lies at one drift position.
            emit(static_cast<float>(static_cast<double>(total)), mz, records.drift_w(raw[a]),
                 Records::pos_w(raw[a]));
        }
    }

    // The peak left open by the last split, at the front of raws_: its
    // records up to split_up_to are split (0: none), its apex, the sum of
    // its records so far, and whether it has fallen.
    struct Open {
        std::uint32_t split_up_to = 0;
        std::uint32_t apex = 0;
        std::uint64_t sum = 0;
        bool falling = false;
    };

    bool split_on_field4_ = false;
    std::size_t held_ = 0;  // records gathered and not yet given out
    Open open_;
    std::vector<std::uint64_t> raws_;  // the held records, their bytes in the low ones
    std::vector<std::uint64_t> sums_;  // sums_[j + 1] - sums_[j]: the intensity of peak j
    std::vector<std::uint32_t> starts_, apexes_;
    std::vector<std::uint32_t> mz_at_;  // where each peak's records are in words_
    std::vector<std::uint64_t> words_;  // the apex and neighbours of each peak
    std::vector<double> mzs_;  // their m/z
};

// The stages of IonOptions as a record sink around `Inner` (any record
// sink): drift window, centroiding when Centroid, the m/z factor.
template <class Inner, bool Centroid>
struct IonStages {
    static constexpr bool eager_mz = true;
    static constexpr bool wants_position = detail::wants_position<Inner>;
    // Centroiding takes the records a run at a time (records.hpp).
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

    // Records a run at a time, to the centroider.
    template <class Records>
    void block(const std::uint8_t* first, std::size_t n, const Records& records) {
        auto emit = [&](float v, double m, double d, RecordPosition p) { pass(v, m, d, p); };
        if (options.drift) {
            const Window w = *options.drift;
            auto keep = [&](std::uint64_t word) { return w.contains(records.drift_w(word)); };
            centroider->feed(first, n, records, keep, emit);
        } else {
            centroider->feed(first, n, records, [](std::uint64_t) { return true; }, emit);
        }
    }

    // The end of the scan `plan` describes.
    void finish(const ScanPlan& plan, const TofCalibration& cal) {
        if constexpr (Centroid) {
            auto emit = [&](float v, double m, double d, RecordPosition at) { pass(v, m, d, at); };
            with_records(plan, cal, [&](const auto& records) { centroider->flush(records, emit); });
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
        stages.finish(view.plan(p), r.f.calibration());
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
