// Plain models of what the core computes, written from the formats alone and
// as directly as possible: a loop over a scan's records with the arithmetic
// spelt out, and the index-variant rule applied to a whole index.  The
// harnesses hold the core's answers against them, so that its faster
// machinery (scan plans, record sinks, m/z computed in blocks, polynomial
// loops unrolled per coefficient count, indexes read only as far as needed)
// must agree with the obvious reading bit for bit.
//
// The arithmetic is that of the core, one rounded double operation per
// statement in the same order; the harnesses are compiled without
// contraction into fused multiply-adds, as the core is.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common.hpp"
#include "core/decode/calibration.hpp"
#include "core/decode/encodings.hpp"
#include "core/format/index.hpp"

namespace fuzz {

struct ReferencePeaks {
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<double> drift_time_ms;  // Encoding B only
};

// The scan's peaks, or the message of the check that rejects it (without
// the "parse error: " a Status adds).
struct ReferenceScan {
    std::optional<std::string> error;
    ReferencePeaks peaks;
};

inline std::string reference_hex(std::uint8_t v) {
    static constexpr char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[v >> 4] + digits[v & 15];
}

// m/z of flight time t: T1 maps t through the polynomial (Horner from the
// highest power, from 0.0), T0 uses t as it is.
inline double reference_mz(double t, const tessmoor::core::TofCalibration& cal) {
    double s = t;
    if (cal.kind == tessmoor::core::CalibrationKind::T1) {
        s = 0.0;
        for (std::size_t j = cal.coefficients.size(); j-- > 0;) {
            s = t * s;
            s = s + cal.coefficients[j];
        }
    }
    const double q = s / cal.flight_constant;
    return q * q;
}

inline ReferenceScan reference_decode(tessmoor::core::Encoding encoding, std::span<const std::uint8_t> scan,
                                      const tessmoor::core::TofCalibration& cal) {
    using tessmoor::core::Encoding;
    ReferenceScan out;
    const std::size_t len = scan.size();
    if (len == 0) return out;
    if (encoding == Encoding::A) {
        // 6-byte records: [2] block type, [3] intensity, [4..5] bin.  The
        // first is a sentinel whose bin is where mz_high arrives.
        if (len % 6 != 0) {
            out.error = "Encoding A: scan size " + std::to_string(len) + " is not a multiple of 6";
            return out;
        }
        if (scan[2] != 0x70) {
            out.error = "Encoding A: first record block_type " + reference_hex(scan[2]) + " is not sentinel (0x70)";
            return out;
        }
        const std::uint16_t sentinel_bin = u16(&scan[4]);
        if (sentinel_bin == 0) {
            out.error = "Encoding A: sentinel_tof_bin is zero";
            return out;
        }
        const double s = std::sqrt(cal.mz_high);
        const double p = cal.flight_constant * s;
        const double scale = p / static_cast<double>(sentinel_bin);
        for (std::size_t i = 1; i < len / 6; ++i) {
            const std::uint8_t* r = &scan[6 * i];
            if (r[2] == 0x70 || r[3] == 0) continue;
            const double t = scale * static_cast<double>(u16(r + 4));
            out.peaks.mz.push_back(reference_mz(t, cal));
            out.peaks.intensity.push_back(static_cast<float>(r[3]));
        }
        return out;
    }
    // 8-byte records: [2..3] intensity, [4..5] bin fraction (C) or drift
    // position (B), [6..7] bin.  The first and last bins anchor a linear
    // time axis from mz_low to mz_high; without a rising axis, no peaks.
    const bool ims = encoding == Encoding::B;
    if (len % 8 != 0) {
        out.error = std::string("Encoding ") + (ims ? "B" : "C") + ": scan size " + std::to_string(len) +
                    " is not a multiple of 8";
        return out;
    }
    const std::size_t n = len / 8;
    if (n < 2) return out;
    const std::uint16_t first_bin = u16(&scan[6]);
    const std::uint16_t last_bin = u16(&scan[len - 2]);
    if (last_bin <= first_bin) return out;
    const double first = static_cast<double>(first_bin);
    const double t_lo = cal.flight_constant * std::sqrt(cal.mz_low);
    const double t_hi = cal.flight_constant * std::sqrt(cal.mz_high);
    const double d = static_cast<double>(last_bin) - first;
    const double span = t_hi - t_lo;
    const double slope = span / d;
    constexpr double unit = 1.0 / 65536.0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* r = &scan[8 * i];
        const std::uint16_t intensity = u16(r + 2);
        if (intensity == 0) continue;
        double x = static_cast<double>(u16(r + 6)) - first;
        if (!ims) {
            const double fraction = static_cast<double>(u16(r + 4)) * unit;
            x = x + fraction;
        }
        const double sx = slope * x;
        const double t = t_lo + sx;
        out.peaks.mz.push_back(reference_mz(t, cal));
        out.peaks.intensity.push_back(static_cast<float>(intensity));
        if (ims) {
            const double drift = cal.drift_scale_ms * static_cast<double>(u16(r + 4));
            out.peaks.drift_time_ms.push_back(drift * unit);
        }
    }
    return out;
}

// The variant of a whole index beside a DAT of `dat_size` bytes: by size,
// and for sizes that fit both record sizes, Variant B exactly when some
// 22-byte scan ends past the DAT and the 30-byte offsets never decrease and
// all lie within it.  Empty when the size fits neither.
inline std::optional<tessmoor::core::IndexVariant> reference_variant(std::span<const std::uint8_t> index,
                                                                     std::uint64_t dat_size) {
    using tessmoor::core::IndexVariant;
    const std::size_t n = index.size();
    const bool fits_a = n % 22 == 0, fits_b = n % 30 == 0;
    if (!fits_a && !fits_b) return std::nullopt;
    if (!fits_a) return IndexVariant::B;
    if (!fits_b || n == 0) return IndexVariant::A;
    bool a_impossible = false;
    for (std::size_t k = 0; k < n; k += 22)
        if (std::uint64_t{u32(&index[k])} + 6u * std::uint64_t{u16(&index[k + 4])} > dat_size) a_impossible = true;
    bool b_consistent = true;
    std::uint64_t previous = 0;
    for (std::size_t k = 0; k < n; k += 30) {
        const std::uint64_t offset = u32(&index[k + 22]);
        if (offset < previous || offset > dat_size) b_consistent = false;
        previous = offset;
    }
    return a_impossible && b_consistent ? IndexVariant::B : IndexVariant::A;
}

}  // namespace fuzz
