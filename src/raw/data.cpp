// Scan decoding for _FUNCnnn.DAT.
//
// Every decoder turns a raw time-of-flight bin into a flight time t
// (microseconds), optionally maps t through the function's calibration
// polynomial, and converts the result to m/z as (t / flight_constant)^2.
//
// The arithmetic is defined operation by operation: each statement below is a
// single rounded IEEE-754 double operation, in exactly this order, so that
// results are reproducible bit for bit across builds.  This file is compiled
// with -ffp-contract=off (no fused multiply-add) and without fast-math; do not
// merge, reorder or "simplify" the steps, and keep one operation per
// statement where the order matters.
#include "raw/data.hpp"

#include <cmath>
#include <cstddef>
#include <optional>

#include "raw/le.hpp"

namespace tessmoor::raw {

namespace {

// Proton mass in kilograms, and twice the elementary charge in coulombs.
constexpr double proton_mass_kg = 1.6726219e-27;
constexpr double two_e_coulomb = 3.2043532e-19;

// Sentinel record of Encoding A (the character 'p').
constexpr std::uint8_t sentinel_block = 0x70;

// 2^-16: one unit of a 16-bit bin fraction or drift position.  Exact.
constexpr double inv_65536 = 1.52587890625e-05;

// m/z of a flight time for each calibration kind.  The decoders pick one of
// these once per scan and instantiate their record loop for it, so the kind
// is not re-examined per record.

// T0: the coefficients are held but not applied.
struct MzUncalibrated {
    double flight_constant;

    double operator()(double t) const noexcept {
        const double q = t / flight_constant;
        return q * q;
    }
};

// T1: Horner's rule from the highest power down, starting from 0.0 (so an
// empty coefficient list maps every time to 0.0).
struct MzPolynomial {
    const double* coefficients;
    std::size_t count;
    double flight_constant;

    double operator()(double t) const noexcept {
        double s = 0.0;
        for (std::size_t j = count; j-- > 0;) {
            s = t * s;
            s = s + coefficients[j];
        }
        const double q = s / flight_constant;
        return q * q;
    }
};

// Calls body(to_mz) with the converter matching the calibration kind.
template <class Body>
decltype(auto) with_mz(const TofCalibration& cal, Body&& body) {
    if (cal.kind == CalibrationKind::T1) {
        return body(MzPolynomial{cal.coefficients.data(), cal.coefficients.size(),
                                 cal.flight_constant});
    }
    return body(MzUncalibrated{cal.flight_constant});
}

// Linear flight-time axis of an 8-byte-record scan: the first record's bin
// arrives at the time of mz_low, the last record's bin at that of mz_high.
struct BinAxis {
    double first_bin;
    double t_lo;
    double slope;
};

BinAxis bin_axis(const TofCalibration& cal, std::uint16_t first_bin, std::uint16_t last_bin) {
    const double first = static_cast<double>(first_bin);
    const double last = static_cast<double>(last_bin);
    const double t_lo = cal.flight_constant * std::sqrt(cal.mz_low);
    const double t_hi = cal.flight_constant * std::sqrt(cal.mz_high);
    const double d = last - first;
    const double span = t_hi - t_lo;
    const double slope = span / d;
    return BinAxis{first, t_lo, slope};
}

// Layout of the 8-byte records shared by Encodings B and C.
constexpr std::size_t rec8_size = 8;
constexpr std::size_t rec8_intensity = 2;
constexpr std::size_t rec8_field4 = 4;  // bin fraction (C) or drift position (B)
constexpr std::size_t rec8_tof_bin = 6;

// Layout of the 6-byte Encoding A records.
constexpr std::size_t rec6_size = 6;
constexpr std::size_t rec6_block_type = 2;
constexpr std::size_t rec6_intensity = 3;
constexpr std::size_t rec6_tof_bin = 4;

// The checks Encodings B and C share, in order: an empty scan is empty; the
// size must be whole records (else the message); one record, or anchors that
// do not rise, give no usable axis and an empty result without error.
struct Rec8Scan {
    std::size_t n = 0;  // records
    BinAxis axis;
};

Expected<std::optional<Rec8Scan>, std::string> check_rec8_scan(std::span<const std::uint8_t> scan,
                                                               const TofCalibration& cal,
                                                               const char* encoding) {
    const std::size_t len = scan.size();
    if (len == 0) return std::optional<Rec8Scan>();
    if (len % rec8_size != 0) {
        return std::string("Encoding ") + encoding + ": scan size " + std::to_string(len) +
               " is not a multiple of 8";
    }
    if (len < 2 * rec8_size) return std::optional<Rec8Scan>();
    const std::uint16_t first_bin = le::u16(scan.data() + rec8_tof_bin);
    const std::uint16_t last_bin = le::u16(scan.data() + len - rec8_size + rec8_tof_bin);
    if (last_bin <= first_bin) return std::optional<Rec8Scan>();
    return std::optional<Rec8Scan>(Rec8Scan{len / rec8_size, bin_axis(cal, first_bin, last_bin)});
}

std::string hex_byte(std::uint8_t v) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s = "0x";
    s += digits[v >> 4];
    s += digits[v & 0x0f];
    return s;
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

double time_to_mz(const TofCalibration& cal, double t) noexcept {
    return with_mz(cal, [t](const auto& to_mz) { return to_mz(t); });
}

TofCalibration TofCalibration::build(const FunctionInfo& function, const Header& header,
                                     const ExternInf& extern_inf, std::uint32_t func_index) {
    TofCalibration cal;
    if (auto it = header.calibrations.find(func_index); it != header.calibrations.end()) {
        cal.coefficients = it->second.coefficients;
        cal.kind = it->second.kind;
    }
    cal.flight_constant = raw::flight_constant(extern_inf.lteff, extern_inf.veff);
    cal.mz_low = static_cast<double>(function.mz_low);
    cal.mz_high = static_cast<double>(function.mz_high);
    cal.drift_scale_ms = static_cast<double>(function.scan_time_s) * 1000.0;
    return cal;
}

// Encoding A: 6-byte records.  Record 0 is a sentinel whose bin is where an
// ion of mz_high arrives; it fixes a linear bin-to-time scale for the scan.
// The others are peaks with an 8-bit intensity.
Expected<Spectrum, std::string> decode_encoding_a(std::span<const std::uint8_t> scan,
                                                  const TofCalibration& cal) {
    const std::size_t len = scan.size();
    if (len == 0) return Spectrum{};
    if (len % rec6_size != 0) {
        return "Encoding A: scan size " + std::to_string(len) + " is not a multiple of 6";
    }
    const std::uint8_t* const data = scan.data();
    const std::uint8_t first_type = data[rec6_block_type];
    if (first_type != sentinel_block) {
        return "Encoding A: first record block_type " + hex_byte(first_type) +
               " is not sentinel (" + hex_byte(sentinel_block) + ")";
    }
    const std::uint16_t sentinel_tof_bin = le::u16(data + rec6_tof_bin);
    if (sentinel_tof_bin == 0) return std::string("Encoding A: sentinel_tof_bin is zero");

    const std::size_t n = len / rec6_size;
    Spectrum out;
    // Every record but the sentinel may be a peak: appending never reallocates.
    out.mz.reserve(n - 1);
    out.intensity.reserve(n - 1);
    if (n == 1) return out;

    const double s = std::sqrt(cal.mz_high);
    const double p = cal.flight_constant * s;
    const double scale = p / static_cast<double>(sentinel_tof_bin);

    with_mz(cal, [&](const auto to_mz) {
        const std::uint8_t* rec = data + rec6_size;
        const std::uint8_t* const end = data + n * rec6_size;
        for (; rec != end; rec += rec6_size) {
            const std::uint8_t intensity = rec[rec6_intensity];
            if (intensity == 0) continue;
            // A later sentinel is neither a peak nor a new scale.
            if (rec[rec6_block_type] == sentinel_block) continue;
            const double t = scale * static_cast<double>(le::u16(rec + rec6_tof_bin));
            out.mz.push_back(to_mz(t));
            out.intensity.push_back(static_cast<float>(intensity));
        }
    });
    return out;
}

// Encoding B: the ion-mobility reading of 8-byte records.  The first and last
// records' bins anchor the flight-time axis; the field at offset 4 is the
// ion's drift position in 1/65536 of the function's scan time.
Expected<ImsSpectrum, std::string> decode_encoding_b(std::span<const std::uint8_t> scan,
                                                     const TofCalibration& cal) {
    auto checked = check_rec8_scan(scan, cal, "B");
    if (!checked) return std::move(checked).error();
    if (!*checked) return ImsSpectrum{};
    const std::size_t n = (*checked)->n;
    const BinAxis axis = (*checked)->axis;
    const std::uint8_t* const data = scan.data();

    ImsSpectrum out;
    out.mz.reserve(n);
    out.drift_time_ms.reserve(n);
    out.intensity.reserve(n);

    const double drift_scale_ms = cal.drift_scale_ms;

    with_mz(cal, [&](const auto to_mz) {
        const std::uint8_t* rec = data;
        const std::uint8_t* const end = data + n * rec8_size;
        for (; rec != end; rec += rec8_size) {
            const std::uint16_t intensity = le::u16(rec + rec8_intensity);
            if (intensity == 0) continue;
            const double x = static_cast<double>(le::u16(rec + rec8_tof_bin)) - axis.first_bin;
            const double sx = axis.slope * x;
            const double t = axis.t_lo + sx;
            const double d = drift_scale_ms * static_cast<double>(le::u16(rec + rec8_field4));
            out.mz.push_back(to_mz(t));
            out.drift_time_ms.push_back(d * inv_65536);
            out.intensity.push_back(static_cast<float>(intensity));
        }
    });
    return out;
}

// Encoding C: 8-byte records with a sub-bin fraction at offset 4; the first
// and last records' bins anchor the flight-time axis.
Expected<Spectrum, std::string> decode_encoding_c(std::span<const std::uint8_t> scan,
                                                  const TofCalibration& cal) {
    auto checked = check_rec8_scan(scan, cal, "C");
    if (!checked) return std::move(checked).error();
    if (!*checked) return Spectrum{};
    const std::size_t n = (*checked)->n;
    const BinAxis axis = (*checked)->axis;
    const std::uint8_t* const data = scan.data();

    Spectrum out;
    // Sized for every record but the two anchors; should more records carry
    // an intensity, the arrays grow.
    out.mz.reserve(n - 2);
    out.intensity.reserve(n - 2);

    with_mz(cal, [&](const auto to_mz) {
        const std::uint8_t* rec = data;
        const std::uint8_t* const end = data + n * rec8_size;
        for (; rec != end; rec += rec8_size) {
            const std::uint16_t intensity = le::u16(rec + rec8_intensity);
            if (intensity == 0) continue;
            const double whole = static_cast<double>(le::u16(rec + rec8_tof_bin)) - axis.first_bin;
            const double fraction = static_cast<double>(le::u16(rec + rec8_field4)) * inv_65536;
            const double x = whole + fraction;
            const double sx = axis.slope * x;
            const double t = axis.t_lo + sx;
            out.mz.push_back(to_mz(t));
            out.intensity.push_back(static_cast<float>(intensity));
        }
    });
    return out;
}

}  // namespace tessmoor::raw
