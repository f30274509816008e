// Scan data of _FUNCnnn.DAT: the time-of-flight calibration shared by all
// decoders and the three packed scan encodings.
//   Encoding A: 6-byte records, a sentinel then peaks (older Q-TOF).
//   Encoding C: 8-byte records with a bin fraction (1-D spectra of Variant B).
//   Encoding B: 8-byte records with a drift position (ion mobility).
// Decoders are pure functions over a borrowed view of one scan's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/status.hpp"
#include "core/format/extern_inf.hpp"
#include "core/format/functions_inf.hpp"
#include "core/format/header.hpp"

namespace tessmoor::core {

struct TofCalibration {
    std::vector<double> coefficients;  // constant term first
    CalibrationKind kind = CalibrationKind::T0;
    double flight_constant = 0.0;  // microseconds for m/z 1
    double mz_low = 0.0;
    double mz_high = 0.0;
    double drift_scale_ms = 0.0;

    // Cannot fail: a function without a calibration line gets kind T0 and no
    // coefficients.
    static TofCalibration build(const FunctionInfo& function, const Header& header,
                                const ExternInf& extern_inf, std::uint32_t func_index);
};

// Flight time in microseconds of an ion of m/z 1 (lteff in mm, veff in V).
double flight_constant(double lteff, double veff) noexcept;

// How a scan's records are read: A for 22-byte-index functions, C for the
// 1-D reading and B for the ion-mobility reading of 30-byte-index functions.
enum class Encoding : std::uint8_t { A, B, C };

constexpr std::size_t record_size(Encoding e) noexcept { return e == Encoding::A ? 6 : 8; }

// The most peaks a scan of `len` bytes can yield: every record but the
// sentinel (A), every record (B, C).  Output spans of this length suffice.
constexpr std::uint64_t max_peaks(Encoding e, std::uint64_t len) noexcept {
    const std::uint64_t n = len / record_size(e);
    return e == Encoding::A ? (n > 0 ? n - 1 : 0) : n;
}

struct Spectrum {
    std::vector<double> mz;
    std::vector<float> intensity;
};

struct ImsSpectrum {
    std::vector<double> mz;
    std::vector<double> drift_time_ms;
    std::vector<float> intensity;
};

Expected<Spectrum, std::string> decode_encoding_a(std::span<const std::uint8_t> scan,
                                                  const TofCalibration& cal);
Expected<ImsSpectrum, std::string> decode_encoding_b(std::span<const std::uint8_t> scan,
                                                     const TofCalibration& cal);
Expected<Spectrum, std::string> decode_encoding_c(std::span<const std::uint8_t> scan,
                                                  const TofCalibration& cal);

// The same decoders writing into caller-provided spans, each at least
// max_peaks(encoding, scan.size()) long.  They return the number of peaks
// written, or the decoder's message.
Expected<std::size_t, std::string> decode_encoding_a_into(std::span<const std::uint8_t> scan,
                                                          const TofCalibration& cal,
                                                          std::span<double> mz,
                                                          std::span<float> intensity);
Expected<std::size_t, std::string> decode_encoding_b_into(std::span<const std::uint8_t> scan,
                                                          const TofCalibration& cal,
                                                          std::span<double> mz,
                                                          std::span<double> drift_time_ms,
                                                          std::span<float> intensity);
Expected<std::size_t, std::string> decode_encoding_c_into(std::span<const std::uint8_t> scan,
                                                          const TofCalibration& cal,
                                                          std::span<double> mz,
                                                          std::span<float> intensity);

}  // namespace tessmoor::core
