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

// Proton mass in kilograms, and twice the elementary charge in coulombs.
constexpr double proton_mass_kg = 1.6726219e-27;
constexpr double two_e_coulomb = 3.2043532e-19;

std::string hex_byte(std::uint8_t v) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s = "0x";
    s += digits[v >> 4];
    s += digits[v & 0x0f];
    return s;
}

// Encoding A: record 0 is a sentinel whose bin is where an ion of mz_high
// arrives; it fixes a linear bin-to-time scale for the scan.
Expected<ScanPlan, std::string> plan_a(std::uint64_t len, const std::uint8_t* first,
                                       const TofCalibration& cal) {
    ScanPlan plan;
    plan.encoding = Encoding::A;
    if (len == 0) return plan;
    if (len % record_size(Encoding::A) != 0)
        return "Encoding A: scan size " + std::to_string(len) + " is not a multiple of 6";
    const std::uint8_t first_type = first[rec6_block_type];
    if (first_type != sentinel_block) {
        return "Encoding A: first record block_type " + hex_byte(first_type) +
               " is not sentinel (" + hex_byte(sentinel_block) + ")";
    }
    const std::uint16_t sentinel_tof_bin = le::u16(first + rec6_tof_bin);
    if (sentinel_tof_bin == 0) return std::string("Encoding A: sentinel_tof_bin is zero");
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
Expected<ScanPlan, std::string> plan_8(Encoding encoding, std::uint64_t len,
                                       const std::uint8_t* first, const std::uint8_t* last,
                                       const TofCalibration& cal) {
    ScanPlan plan;
    plan.encoding = encoding;
    if (len == 0) return plan;
    if (len % record_size(encoding) != 0) {
        return std::string("Encoding ") + (encoding == Encoding::B ? "B" : "C") + ": scan size " +
               std::to_string(len) + " is not a multiple of 8";
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
Expected<ScanPlan, std::string> plan_whole(Encoding encoding, std::span<const std::uint8_t> scan,
                                           const TofCalibration& cal) {
    const std::size_t rs = record_size(encoding);
    const std::uint8_t* const last = scan.size() >= rs ? scan.data() + scan.size() - rs : scan.data();
    return plan_scan(encoding, scan.size(), scan.data(), last, cal);
}

template <bool WithDrift>
Expected<std::size_t, std::string> decode_into(Encoding encoding, std::span<const std::uint8_t> scan,
                                               const TofCalibration& cal, double* mz, double* drift,
                                               float* intensity) {
    auto plan = plan_whole(encoding, scan, cal);
    if (!plan) return std::move(plan).error();
    IntoSpans<WithDrift> sink{mz, drift, intensity};
    visit_scan(*plan, cal, scan.data(), sink);
    return sink.count;
}

// The allocating decoders: after the checks, sized for the most peaks the
// scan can hold, then cut to what it held.
template <class Result, bool WithDrift>
Expected<Result, std::string> decode_whole(Encoding encoding, std::span<const std::uint8_t> scan,
                                           const TofCalibration& cal) {
    auto plan = plan_whole(encoding, scan, cal);
    if (!plan) return std::move(plan).error();
    const std::size_t cap = static_cast<std::size_t>(max_peaks(encoding, scan.size()));
    Result out;
    out.mz.resize(cap);
    out.intensity.resize(cap);
    IntoSpans<WithDrift> sink{out.mz.data(), nullptr, out.intensity.data()};
    if constexpr (WithDrift) {
        out.drift_time_ms.resize(cap);
        sink.drift = out.drift_time_ms.data();
    }
    visit_scan(*plan, cal, scan.data(), sink);
    out.mz.resize(sink.count);
    out.intensity.resize(sink.count);
    if constexpr (WithDrift) out.drift_time_ms.resize(sink.count);
    return out;
}

}  // namespace

double flight_constant(double lteff, double veff) noexcept {
    const double a = veff * two_e_coulomb;
    const double b = proton_mass_kg / a;
    const double l = lteff * 0.001;
    const double r = std::sqrt(b);
    const double f = l * r;
    return f * 1000000.0;
}

TofCalibration TofCalibration::build(const FunctionInfo& function, const Header& header,
                                     const ExternInf& extern_inf, std::uint32_t func_index) {
    TofCalibration cal;
    if (auto it = header.calibrations.find(func_index); it != header.calibrations.end()) {
        cal.coefficients = it->second.coefficients;
        cal.kind = it->second.kind;
    }
    cal.flight_constant = core::flight_constant(extern_inf.lteff, extern_inf.veff);
    cal.mz_low = static_cast<double>(function.mz_low);
    cal.mz_high = static_cast<double>(function.mz_high);
    cal.drift_scale_ms = static_cast<double>(function.scan_time_s) * 1000.0;
    return cal;
}

Expected<ScanPlan, std::string> plan_scan(Encoding encoding, std::uint64_t len,
                                          const std::uint8_t* first_record,
                                          const std::uint8_t* last_record,
                                          const TofCalibration& cal) {
    if (encoding == Encoding::A) return plan_a(len, first_record, cal);
    return plan_8(encoding, len, first_record, last_record, cal);
}

Expected<std::size_t, std::string> decode_encoding_a_into(std::span<const std::uint8_t> scan,
                                                          const TofCalibration& cal,
                                                          std::span<double> mz,
                                                          std::span<float> intensity) {
    return decode_into<false>(Encoding::A, scan, cal, mz.data(), nullptr, intensity.data());
}

Expected<std::size_t, std::string> decode_encoding_b_into(std::span<const std::uint8_t> scan,
                                                          const TofCalibration& cal,
                                                          std::span<double> mz,
                                                          std::span<double> drift_time_ms,
                                                          std::span<float> intensity) {
    return decode_into<true>(Encoding::B, scan, cal, mz.data(), drift_time_ms.data(),
                             intensity.data());
}

Expected<std::size_t, std::string> decode_encoding_c_into(std::span<const std::uint8_t> scan,
                                                          const TofCalibration& cal,
                                                          std::span<double> mz,
                                                          std::span<float> intensity) {
    return decode_into<false>(Encoding::C, scan, cal, mz.data(), nullptr, intensity.data());
}

Expected<Spectrum, std::string> decode_encoding_a(std::span<const std::uint8_t> scan,
                                                  const TofCalibration& cal) {
    return decode_whole<Spectrum, false>(Encoding::A, scan, cal);
}

Expected<ImsSpectrum, std::string> decode_encoding_b(std::span<const std::uint8_t> scan,
                                                     const TofCalibration& cal) {
    return decode_whole<ImsSpectrum, true>(Encoding::B, scan, cal);
}

Expected<Spectrum, std::string> decode_encoding_c(std::span<const std::uint8_t> scan,
                                                  const TofCalibration& cal) {
    return decode_whole<Spectrum, false>(Encoding::C, scan, cal);
}

}  // namespace tessmoor::core
