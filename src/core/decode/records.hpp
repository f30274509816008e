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

// One record, as handed to a sink that takes records a block at a time.
struct BlockRecord {
    float value;
    double mz;
    RecordPosition pos;
    const std::uint8_t* bytes;  // for the sink's drift(bytes)
};

// A sink that declares `static constexpr bool wants_block = true` (and
// eager_mz) is called once per block of records instead of once per
// record, as sink.block(n, at, drift) with at(i, BlockRecord&) -> bool
// (false: record i is no peak) and drift(bytes) a record's drift time, so
// that it can keep its running state in registers over the block.
template <class Sink>
inline constexpr bool wants_block = requires { requires Sink::wants_block; };

namespace detail {

// A sink declares `static constexpr bool wants_position = true` to be
// handed each record's RecordPosition as a fourth argument.
template <class Sink>
inline constexpr bool wants_position = requires { requires Sink::wants_position; };

template <class Sink, class Mz, class Drift, class PosAt>
inline void deliver(Sink& sink, float v, const Mz& mz, const Drift& drift, const PosAt& pos_at,
                    const std::uint8_t* r) {
    if constexpr (wants_position<Sink>)
        sink(v, mz, drift, pos_at(r));
    else
        sink(v, mz, drift);
}

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

// Walks records [rec, end) of `Size` bytes.  value(r) is a record's
// intensity, or 0 for a record that is no peak; mz_at(r) and drift_at(r)
// its m/z and drift time, pos_at(r) its RecordPosition.  A sink that wants
// the m/z of every peak (Sink::eager_mz) gets them computed a block at a
// time, in a loop of arithmetic alone that the compiler can vectorise; the
// others compute a record's m/z only if they call for it.  Either way each
// m/z is the same sequence of operations.
template <std::size_t Size, class Value, class MzAt, class DriftAt, class PosAt, class Sink>
void walk(const std::uint8_t* rec, const std::uint8_t* const end, const Value& value, const MzAt& mz_at,
          const DriftAt& drift_at, const PosAt& pos_at, Sink& sink) {
    if constexpr (Sink::eager_mz) {
        constexpr std::size_t block = 256;
        double mz[block];
        while (rec != end) {
            const std::size_t n = std::min<std::size_t>(block, static_cast<std::size_t>(end - rec) / Size);
            for (std::size_t i = 0; i < n; ++i) mz[i] = mz_at(rec + i * Size);
            if constexpr (wants_block<Sink>) {
                const std::uint8_t* const base = rec;
                sink.block(
                    n,
                    [&](std::size_t i, BlockRecord& out) {
                        const std::uint8_t* const r = base + i * Size;
                        out.value = value(r);
                        out.mz = mz[i];
                        out.pos = pos_at(r);
                        out.bytes = r;
                        return out.value != 0.0f;
                    },
                    drift_at);
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    const std::uint8_t* const r = rec + i * Size;
                    const float v = value(r);
                    if (v == 0.0f) continue;
                    deliver(sink, v, [&] { return mz[i]; }, [&] { return drift_at(r); }, pos_at, r);
                }
            }
            rec += n * Size;
        }
    } else {
        for (; rec != end; rec += Size) {
            const float v = value(rec);
            if (v == 0.0f) continue;
            const std::uint8_t* const r = rec;
            deliver(sink, v, [&] { return mz_at(r); }, [&] { return drift_at(r); }, pos_at, r);
        }
    }
}

template <class ToMz, class Sink>
void visit_a(const ScanPlan& plan, const ToMz to_mz, const std::uint8_t* rec,
             const std::uint8_t* const end, Sink& sink) {
    const double scale = plan.scale;
    walk<record_size(Encoding::A)>(
        rec, end,
        [](const std::uint8_t* r) {
            // A later sentinel is neither a peak nor a new scale.
            if (r[rec6_block_type] == sentinel_block) return 0.0f;
            return static_cast<float>(r[rec6_intensity]);
        },
        [&](const std::uint8_t* r) {
            const double t = scale * static_cast<double>(le::u16(r + rec6_tof_bin));
            return to_mz(t);
        },
        [](const std::uint8_t*) { return 0.0; },
        [](const std::uint8_t* r) { return RecordPosition{le::u16(r + rec6_tof_bin), 0}; }, sink);
}

// Function objects, not functions: walk() takes them as template
// arguments, and an object's call is inlined where a function reference's
// need not be.
inline constexpr auto position_8 = [](const std::uint8_t* r) noexcept {
    return RecordPosition{le::u16(r + rec8_tof_bin), le::u16(r + rec8_field4)};
};

inline constexpr auto intensity_8 = [](const std::uint8_t* r) noexcept {
    return static_cast<float>(le::u16(r + rec8_intensity));
};

template <class ToMz, class Sink>
void visit_c(const ScanPlan& plan, const ToMz to_mz, const std::uint8_t* rec,
             const std::uint8_t* const end, Sink& sink) {
    const double first_bin = plan.first_bin, t_lo = plan.t_lo, slope = plan.slope;
    walk<record_size(Encoding::C)>(
        rec, end, intensity_8,
        [&](const std::uint8_t* r) {
            const double whole = static_cast<double>(le::u16(r + rec8_tof_bin)) - first_bin;
            const double fraction = static_cast<double>(le::u16(r + rec8_field4)) * inv_65536;
            const double x = whole + fraction;
            const double sx = slope * x;
            const double t = t_lo + sx;
            return to_mz(t);
        },
        [](const std::uint8_t*) { return 0.0; }, position_8, sink);
}

template <class ToMz, class Sink>
void visit_b(const ScanPlan& plan, const ToMz to_mz, const double drift_scale_ms,
             const std::uint8_t* rec, const std::uint8_t* const end, Sink& sink) {
    const double first_bin = plan.first_bin, t_lo = plan.t_lo, slope = plan.slope;
    walk<record_size(Encoding::B)>(
        rec, end, intensity_8,
        [&](const std::uint8_t* r) {
            const double x = static_cast<double>(le::u16(r + rec8_tof_bin)) - first_bin;
            const double sx = slope * x;
            const double t = t_lo + sx;
            return to_mz(t);
        },
        [&](const std::uint8_t* r) {
            const double d = drift_scale_ms * static_cast<double>(le::u16(r + rec8_field4));
            return d * inv_65536;
        },
        position_8, sink);
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
// RecordPosition as a fourth argument.  A sink declares `static constexpr bool eager_mz`: true
// when it reads the m/z of (nearly) every peak.  The calibration kind is
// chosen once, here, and the loop is instantiated for it.
template <class Sink>
void visit_records(const ScanPlan& plan, const TofCalibration& cal, const std::uint8_t* records,
                   std::size_t count, Sink& sink) {
    const std::uint8_t* const end = records + count * record_size(plan.encoding);
    auto run = [&](const auto to_mz) {
        switch (plan.encoding) {
            case Encoding::A: detail::visit_a(plan, to_mz, records, end, sink); break;
            case Encoding::B: detail::visit_b(plan, to_mz, cal.drift_scale_ms, records, end, sink); break;
            case Encoding::C: detail::visit_c(plan, to_mz, records, end, sink); break;
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

// Every record a decoder visits, of a scan held whole in memory.
template <class Sink>
void visit_scan(const ScanPlan& plan, const TofCalibration& cal, const std::uint8_t* scan,
                Sink& sink) {
    if (plan.empty()) return;
    visit_records(plan, cal, scan + plan.first * record_size(plan.encoding),
                  plan.records - plan.first, sink);
}

}  // namespace tessmoor::core
