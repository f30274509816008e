// Scan decoding for _FUNCnnn.DAT.
//
// Every decoder turns a raw time-of-flight bin into a flight time t
// (microseconds), optionally maps t through the function's calibration
// polynomial, and converts the result to m/z as (t / flight_constant)^2.
// The checks and per-scan quantities are here (plan_scan); the record loops
// that every consumer shares are in records.hpp.
//
// The arithmetic is defined operation by operation: each statement below is a
// single rounded IEEE-754 double operation, in exactly this order, so that
// results are reproducible bit for bit across builds.  The core is compiled
// with -ffp-contract=off (no fused multiply-add) and without fast-math; do not
// merge, reorder or "simplify" the steps, and keep one operation per
// statement where the order matters.
#include "core/decode/encodings.hpp"

#include <cmath>
#include <cstddef>

#include "core/format/le.hpp"
#include "core/decode/records.hpp"

namespace tessmoor::core {

namespace {

std::string hex_byte(std::uint8_t v) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s = "0x";
    s += digits[v >> 4];
    s += digits[v & 0x0f];
    return s;
}

// Encoding A: record 0 is a sentinel whose bin is where an ion of mz_high
// arrives; it fixes a linear bin-to-time scale for the scan.
Result<ScanPlan> plan_a(std::uint64_t len, const std::uint8_t* first,
                                       const TofCalibration& cal) {
    ScanPlan plan;
    plan.encoding = Encoding::A;
    if (len == 0) return plan;
    if (len % record_size(Encoding::A) != 0)
        return Status::format("Encoding A: scan size " + std::to_string(len) + " is not a multiple of 6");
    const std::uint8_t first_type = first[rec6_block_type];
    if (first_type != sentinel_block) {
        return Status::format("Encoding A: first record block_type " + hex_byte(first_type) +
                              " is not sentinel (" + hex_byte(sentinel_block) + ")");
    }
    const std::uint16_t sentinel_tof_bin = le::u16(first + rec6_tof_bin);
    if (sentinel_tof_bin == 0) return Status::format("Encoding A: sentinel_tof_bin is zero");
    plan.records = static_cast<std::size_t>(len / record_size(Encoding::A));
    plan.first = 1;
    if (plan.records == 1) return plan;
    const double s = std::sqrt(cal.mz_high);
    const double p = cal.flight_constant * s;
    plan.scale = p / static_cast<double>(sentinel_tof_bin);
    return plan;
}

// Encodings B and C: the first and last records' bins anchor a linear
// flight-time axis from the time of mz_low to that of mz_high.  An empty
// scan, a single record, or anchors that do not rise give no axis and an
// empty result without error.
Result<ScanPlan> plan_8(Encoding encoding, std::uint64_t len,
                                       const std::uint8_t* first, const std::uint8_t* last,
                                       const TofCalibration& cal) {
    ScanPlan plan;
    plan.encoding = encoding;
    if (len == 0) return plan;
    if (len % record_size(encoding) != 0) {
        return Status::format(std::string("Encoding ") + (encoding == Encoding::B ? "B" : "C") +
                              ": scan size " + std::to_string(len) + " is not a multiple of 8");
    }
    if (len < 2 * record_size(encoding)) return plan;
    const std::uint16_t first_bin = le::u16(first + rec8_tof_bin);
    const std::uint16_t last_bin = le::u16(last + rec8_tof_bin);
    if (last_bin <= first_bin) return plan;
    plan.records = static_cast<std::size_t>(len / record_size(encoding));
    plan.first_bin = static_cast<double>(first_bin);
    const double last_d = static_cast<double>(last_bin);
    plan.t_lo = cal.flight_constant * std::sqrt(cal.mz_low);
    const double t_hi = cal.flight_constant * std::sqrt(cal.mz_high);
    const double d = last_d - plan.first_bin;
    const double span = t_hi - plan.t_lo;
    plan.slope = span / d;
    return plan;
}

// Writes every visited peak at the next position of the output spans.
template <bool WithDrift>
struct IntoSpans {
    static constexpr bool eager_mz = true;
    double* mz;
    double* drift;
    float* intensity;
    std::size_t count = 0;

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of) {
        mz[count] = mz_of();
        if constexpr (WithDrift) drift[count] = drift_of();
        intensity[count] = value;
        ++count;
    }
};

// The checks of a scan held whole in memory.
Result<ScanPlan> plan_whole(Encoding encoding, std::span<const std::uint8_t> scan,
                                           const TofCalibration& cal) {
    const std::size_t rs = record_size(encoding);
    const std::uint8_t* const last = scan.size() >= rs ? scan.data() + scan.size() - rs : scan.data();
    return plan_scan(encoding, scan.size(), scan.data(), last, cal);
}

}  // namespace

Result<ScanPlan> plan_scan(Encoding encoding, std::uint64_t len, const std::uint8_t* first_record,
                           const std::uint8_t* last_record, const TofCalibration& cal) {
    if (encoding == Encoding::A) return plan_a(len, first_record, cal);
    return plan_8(encoding, len, first_record, last_record, cal);
}

Result<Peaks> decode_scan(Encoding encoding, std::span<const std::uint8_t> scan, const TofCalibration& cal) {
    TESSMOOR_ASSIGN_OR_RETURN(const ScanPlan plan, plan_whole(encoding, scan, cal));
    // Sized for the most peaks the scan can hold, then cut to what it held:
    // the records are decoded straight into the arrays handed out.
    const std::uint64_t most = max_peaks(encoding, scan.size());
    Peaks out;
    constexpr auto heap = Buffer::Kind::Heap;
    TESSMOOR_ASSIGN_OR_RETURN(out.mz, Array<double>::allocate(most, heap));
    TESSMOOR_ASSIGN_OR_RETURN(out.intensity, Array<float>::allocate(most, heap));
    std::size_t n = 0;
    if (encoding == Encoding::B) {
        TESSMOOR_ASSIGN_OR_RETURN(out.drift_time_ms, Array<double>::allocate(most, heap));
        IntoSpans<true> sink{out.mz.data(), out.drift_time_ms.data(), out.intensity.data()};
        visit_scan(plan, cal, scan.data(), sink);
        n = sink.count;
    } else {
        IntoSpans<false> sink{out.mz.data(), nullptr, out.intensity.data()};
        visit_scan(plan, cal, scan.data(), sink);
        n = sink.count;
    }
    out.mz.shrink(n);
    out.intensity.shrink(n);
    out.drift_time_ms.shrink(n);
    return out;
}

Result<Spectrum> decode_encoding_a(std::span<const std::uint8_t> scan, const TofCalibration& cal) {
    TESSMOOR_ASSIGN_OR_RETURN(Peaks p, decode_scan(Encoding::A, scan, cal));
    return Spectrum{std::move(p.mz), std::move(p.intensity)};
}

Result<ImsSpectrum> decode_encoding_b(std::span<const std::uint8_t> scan, const TofCalibration& cal) {
    TESSMOOR_ASSIGN_OR_RETURN(Peaks p, decode_scan(Encoding::B, scan, cal));
    return ImsSpectrum{std::move(p.mz), std::move(p.drift_time_ms), std::move(p.intensity)};
}

Result<Spectrum> decode_encoding_c(std::span<const std::uint8_t> scan, const TofCalibration& cal) {
    TESSMOOR_ASSIGN_OR_RETURN(Peaks p, decode_scan(Encoding::C, scan, cal));
    return Spectrum{std::move(p.mz), std::move(p.intensity)};
}

}  // namespace tessmoor::core
