// The record loops of _FUNCnnn.DAT scans, shared by every consumer of
// decoded peaks: the allocating decoders, the decoders into caller-provided
// spans, and the reductions (TIC, base peak, XIC) that never store a peak.
//
// A scan is read in two steps.  plan_scan makes every check a decoder makes,
// in the decoder's order, from the scan's length and its first and last
// records alone, and computes the per-scan quantities once.  visit_records
// then walks any run of the scan's records and hands each retained record to
// a sink: its intensity at once, its m/z and drift time as functions the
// sink calls only if it needs them.  So there is one arithmetic for every
// consumer, and a consumer that needs no m/z does not pay for it.
//
// The arithmetic is defined operation by operation: each statement is a
// single rounded IEEE-754 double operation, in exactly this order, so that
// results are reproducible bit for bit.  The core is compiled with
// -ffp-contract=off (no fused multiply-add) and without fast-math; do not
// merge, reorder or "simplify" the steps.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/decode/encodings.hpp"
#include "core/status.hpp"
#include "core/format/le.hpp"

namespace tessmoor::core {

// Layout of the 6-byte Encoding A records.
inline constexpr std::size_t rec6_block_type = 2;
inline constexpr std::size_t rec6_intensity = 3;
inline constexpr std::size_t rec6_tof_bin = 4;
// Sentinel record of Encoding A (the character 'p').
inline constexpr std::uint8_t sentinel_block = 0x70;

// Layout of the 8-byte records shared by Encodings B and C.
inline constexpr std::size_t rec8_intensity = 2;
inline constexpr std::size_t rec8_field4 = 4;  // bin fraction (C) or drift position (B)
inline constexpr std::size_t rec8_tof_bin = 6;

// 2^-16: one unit of a 16-bit bin fraction or drift position.  Exact.
inline constexpr double inv_65536 = 1.52587890625e-05;

// What the checks of a scan decided and the per-scan quantities.  Records
// [first, records) are the ones a decoder visits; an empty range means an
// empty result without error.
struct ScanPlan {
    Encoding encoding = Encoding::A;
    std::size_t records = 0;
    std::size_t first = 0;
    double scale = 0.0;      // Encoding A: flight time per bin
    double first_bin = 0.0;  // Encodings B and C: the bin-range axis
    double t_lo = 0.0;
    double slope = 0.0;

    bool empty() const noexcept { return first >= records; }
};

// The checks of a scan of `len` bytes, in the order the decoders make them.
// `first_record` and `last_record` point to the scan's first and last
// records; they are read only once the length is known to be a positive
// multiple of the record size (so callers may pass any pointer otherwise).
Result<ScanPlan> plan_scan(Encoding encoding, std::uint64_t len, const std::uint8_t* first_record,
                           const std::uint8_t* last_record, const TofCalibration& cal);

// Where a record lies: its time-of-flight bin and, for the 8-byte records,
// the 16-bit field beside it (the drift position of Encoding B, the bin
// fraction of Encoding C; 0 for Encoding A).  Centroiding needs them to tell
// which records are neighbours.
struct RecordPosition {
    std::uint16_t bin = 0;
    std::uint16_t field4 = 0;
};

// A sink that declares `static constexpr bool wants_block = true` is called
// once per run of records instead of once per record, as
// sink.block(first, n, arithmetic): the n records from `first` on, and the
// scan's arithmetic (below), so that it can keep its running state in
// registers over the run and compute m/z only for the records it keeps.
// Records with no intensity are in the run; they are no peaks.
template <class Sink>
inline constexpr bool wants_block = requires { requires Sink::wants_block; };

namespace detail {

// A sink declares `static constexpr bool wants_position = true` to be
// handed each record's RecordPosition as a fourth argument.
template <class Sink>
inline constexpr bool wants_position = requires { requires Sink::wants_position; };

// m/z of a flight time, T0: the coefficients are held but not applied.
struct MzUncalibrated {
    double flight_constant;

    double operator()(double t) const noexcept {
        const double q = t / flight_constant;
        return q * q;
    }
};

// m/z of a flight time, T1: Horner's rule from the highest power down,
// starting from 0.0 (so an empty coefficient list maps every time to 0.0).
// N > 0 fixes the number of coefficients when compiling, so that the loop
// unrolls; N = 0 takes `count`.
template <std::size_t N>
struct MzPolynomial {
    const double* coefficients;
    std::size_t count;
    double flight_constant;

    double operator()(double t) const noexcept {
        double s = 0.0;
        for (std::size_t j = N > 0 ? N : count; j-- > 0;) {
            s = t * s;
            s = s + coefficients[j];
        }
        const double q = s / flight_constant;
        return q * q;
    }
};

}  // namespace detail

// The arithmetic of one scan's records, one type per encoding: a record's
// intensity (0 for a record that is no peak), m/z, drift time and position.
// Every reading of a record goes through these, so there is one arithmetic
// whether a consumer takes every m/z or a few.  Each is defined on the
// record as one little-endian word (le::word), its fields bit fields at the
// record's byte offsets, so that loops that hold records as words (the
// centroids) and loops over the bytes compute the same values.
template <class ToMz>
struct RecordsA {
    static constexpr std::size_t size = record_size(Encoding::A);
    static constexpr unsigned count_shift = 8 * rec6_intensity;
    static constexpr unsigned bin_shift = 8 * rec6_tof_bin;
    double scale;  // flight time per bin
    ToMz to_mz;

    static std::uint64_t word(const std::uint8_t* r) noexcept { return le::word<size>(r); }
    // The intensity as the whole count it is.
    static std::uint32_t count_w(std::uint64_t w) noexcept {
        // A later sentinel is neither a peak nor a new scale.
        if ((w >> (8 * rec6_block_type) & 0xff) == sentinel_block) return 0;
        return static_cast<std::uint32_t>(w >> count_shift & 0xff);
    }
    static std::uint16_t bin_w(std::uint64_t w) noexcept { return static_cast<std::uint16_t>(w >> bin_shift); }
    double mz_w(std::uint64_t w) const noexcept {
        const double t = scale * static_cast<double>(bin_w(w));
        return to_mz(t);
    }
    static double drift_w(std::uint64_t) noexcept { return 0.0; }
    static RecordPosition pos_w(std::uint64_t w) noexcept { return {bin_w(w), 0}; }

    static std::uint32_t count(const std::uint8_t* r) noexcept { return count_w(word(r)); }
    static float value(const std::uint8_t* r) noexcept { return static_cast<float>(count(r)); }
    double mz(const std::uint8_t* r) const noexcept { return mz_w(word(r)); }
    static double drift(const std::uint8_t*) noexcept { return 0.0; }
    static RecordPosition pos(const std::uint8_t* r) noexcept { return pos_w(word(r)); }
};

// What Encodings B and C share: 8-byte records of intensity, a 16-bit field
// and the bin.
template <class Derived>
struct Records8 {
    static constexpr std::size_t size = 8;
    static constexpr unsigned count_shift = 8 * rec8_intensity;
    static constexpr unsigned field4_shift = 8 * rec8_field4, bin_shift = 8 * rec8_tof_bin;

    static std::uint64_t word(const std::uint8_t* r) noexcept { return le::word<size>(r); }
    static std::uint32_t count_w(std::uint64_t w) noexcept { return static_cast<std::uint16_t>(w >> count_shift); }
    static std::uint16_t field4_w(std::uint64_t w) noexcept { return static_cast<std::uint16_t>(w >> field4_shift); }
    static std::uint16_t bin_w(std::uint64_t w) noexcept { return static_cast<std::uint16_t>(w >> bin_shift); }
    static RecordPosition pos_w(std::uint64_t w) noexcept { return {bin_w(w), field4_w(w)}; }

    static std::uint32_t count(const std::uint8_t* r) noexcept { return count_w(word(r)); }
    static float value(const std::uint8_t* r) noexcept { return static_cast<float>(count(r)); }
    double mz(const std::uint8_t* r) const noexcept { return self().mz_w(word(r)); }
    double drift(const std::uint8_t* r) const noexcept { return self().drift_w(word(r)); }
    static RecordPosition pos(const std::uint8_t* r) noexcept { return pos_w(word(r)); }

private:
    const Derived& self() const noexcept { return static_cast<const Derived&>(*this); }
};

// Encoding C: the field beside the bin is a fraction of a bin.
template <class ToMz>
struct RecordsC : Records8<RecordsC<ToMz>> {
    using Base = Records8<RecordsC<ToMz>>;
    double first_bin, t_lo, slope;
    ToMz to_mz;

    RecordsC(double first_bin, double t_lo, double slope, ToMz to_mz) noexcept
        : first_bin(first_bin), t_lo(t_lo), slope(slope), to_mz(to_mz) {}

    double mz_w(std::uint64_t w) const noexcept {
        const double whole = static_cast<double>(Base::bin_w(w)) - first_bin;
        const double fraction = static_cast<double>(Base::field4_w(w)) * inv_65536;
        const double x = whole + fraction;
        const double sx = slope * x;
        const double t = t_lo + sx;
        return to_mz(t);
    }
    static double drift_w(std::uint64_t) noexcept { return 0.0; }
};

// Encoding B: the field beside the bin is the drift position.
template <class ToMz>
struct RecordsB : Records8<RecordsB<ToMz>> {
    using Base = Records8<RecordsB<ToMz>>;
    double first_bin, t_lo, slope;
    ToMz to_mz;
    double drift_scale_ms;

    RecordsB(double first_bin, double t_lo, double slope, ToMz to_mz, double drift_scale_ms) noexcept
        : first_bin(first_bin), t_lo(t_lo), slope(slope), to_mz(to_mz), drift_scale_ms(drift_scale_ms) {}

    double mz_w(std::uint64_t w) const noexcept {
        const double x = static_cast<double>(Base::bin_w(w)) - first_bin;
        const double sx = slope * x;
        const double t = t_lo + sx;
        return to_mz(t);
    }
    double drift_w(std::uint64_t w) const noexcept {
        const double d = drift_scale_ms * static_cast<double>(Base::field4_w(w));
        return d * inv_65536;
    }
};

// Calls f(arithmetic) with the arithmetic of the scan `plan` describes.  The
// calibration kind is chosen once, here, and f is instantiated for it.
template <class F>
void with_records(const ScanPlan& plan, const TofCalibration& cal, F&& f) {
    auto run = [&](const auto to_mz) {
        using ToMz = decltype(to_mz);
        switch (plan.encoding) {
            case Encoding::A: return f(RecordsA<ToMz>{plan.scale, to_mz});
            case Encoding::B:
                return f(RecordsB<ToMz>(plan.first_bin, plan.t_lo, plan.slope, to_mz, cal.drift_scale_ms));
            case Encoding::C: return f(RecordsC<ToMz>(plan.first_bin, plan.t_lo, plan.slope, to_mz));
        }
    };
    if (cal.kind != CalibrationKind::T1) return run(detail::MzUncalibrated{cal.flight_constant});
    const double* c = cal.coefficients.data();
    const double fc = cal.flight_constant;
    // Calibrations hold a handful of coefficients; the common counts get
    // loops of their own.
    const std::size_t n = cal.coefficients.size();
    switch (n) {
        case 2: return run(detail::MzPolynomial<2>{c, n, fc});
        case 3: return run(detail::MzPolynomial<3>{c, n, fc});
        case 4: return run(detail::MzPolynomial<4>{c, n, fc});
        default: return run(detail::MzPolynomial<0>{c, n, fc});
    }
}

namespace detail {

template <class Sink, class Records>
inline void deliver(Sink& sink, const Records& a, float v, const std::uint8_t* r) {
    const auto mz = [&] { return a.mz(r); };
    const auto drift = [&] { return a.drift(r); };
    if constexpr (wants_position<Sink>)
        sink(v, mz, drift, a.pos(r));
    else
        sink(v, mz, drift);
}

// Walks records [rec, end) with the scan's arithmetic `a`.  A sink that
// wants the m/z of every peak (Sink::eager_mz) gets them computed a block at
// a time, in a loop of arithmetic alone that the compiler can vectorise; the
// others compute a record's m/z only if they call for it.  Either way each
// m/z is the same sequence of operations.
template <class Records, class Sink>
void walk(const std::uint8_t* rec, const std::uint8_t* const end, const Records& a, Sink& sink) {
    constexpr std::size_t Size = Records::size;
    if constexpr (wants_block<Sink>) {
        sink.block(rec, static_cast<std::size_t>(end - rec) / Size, a);
    } else if constexpr (Sink::eager_mz) {
        constexpr std::size_t block = 256;
        double mz[block];
        while (rec != end) {
            const std::size_t n = std::min<std::size_t>(block, static_cast<std::size_t>(end - rec) / Size);
            for (std::size_t i = 0; i < n; ++i) mz[i] = a.mz(rec + i * Size);
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint8_t* const r = rec + i * Size;
                const float v = a.value(r);
                if (v == 0.0f) continue;
                const auto mz_i = [&] { return mz[i]; };
                const auto drift = [&] { return a.drift(r); };
                if constexpr (wants_position<Sink>)
                    sink(v, mz_i, drift, a.pos(r));
                else
                    sink(v, mz_i, drift);
            }
            rec += n * Size;
        }
    } else {
        for (; rec != end; rec += Size) {
            const float v = a.value(rec);
            if (v == 0.0f) continue;
            deliver(sink, a, v, rec);
        }
    }
}

}  // namespace detail

// Hands every retained record among the `count` records starting at
// `records`, which must be records of the scan from plan.first on, to
// `sink` in record order:
//
//     sink(float intensity, MzFn mz, DriftFn drift)
//
// where mz() and drift() give that record's m/z and drift time (drift only
// for Encoding B); a sink that declares wants_position gets the record's
// RecordPosition as a fourth argument.  A sink declares `static constexpr
// bool eager_mz`: true when it reads the m/z of (nearly) every peak; or
// wants_block (above).
template <class Sink>
void visit_records(const ScanPlan& plan, const TofCalibration& cal, const std::uint8_t* records,
                   std::size_t count, Sink& sink) {
    const std::uint8_t* const end = records + count * record_size(plan.encoding);
    with_records(plan, cal, [&](const auto& a) { detail::walk(records, end, a, sink); });
}

// Every record a decoder visits, of a scan held whole in memory.
template <class Sink>
void visit_scan(const ScanPlan& plan, const TofCalibration& cal, const std::uint8_t* scan,
                Sink& sink) {
    if (plan.empty()) return;
    visit_records(plan, cal, scan + plan.first * record_size(plan.encoding),
                  plan.records - plan.first, sink);
}

}  // namespace tessmoor::core
