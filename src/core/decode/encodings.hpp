// Scan data of _FUNCnnn.DAT: the three packed scan encodings.
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

#include "core/decode/calibration.hpp"
#include "core/format/index.hpp"
#include "core/io/buffer.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

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

// Which encoding reads the scans of a function: A for Variant A indexes;
// for Variant B, B (ion mobility, with drift times) or C (the 1-D reading).
constexpr Encoding encoding_for(IndexVariant variant, bool ims) noexcept {
    if (variant == IndexVariant::A) return Encoding::A;
    return ims ? Encoding::B : Encoding::C;
}

// The peaks of a scan in record order; drift times only from Encoding B.
struct Peaks {
    Array<double> mz;
    Array<float> intensity;
    Array<double> drift_time_ms;
};

struct Spectrum {
    Array<double> mz;
    Array<float> intensity;
};

struct ImsSpectrum {
    Array<double> mz;
    Array<double> drift_time_ms;
    Array<float> intensity;
};

// Decodes a whole scan into new arrays: the checks, then every retained
// record.  A malformed scan is a Format status whose message begins with the
// encoding's name.
Result<Peaks> decode_scan(Encoding encoding, std::span<const std::uint8_t> scan, const TofCalibration& cal);

Result<Spectrum> decode_encoding_a(std::span<const std::uint8_t> scan, const TofCalibration& cal);
Result<ImsSpectrum> decode_encoding_b(std::span<const std::uint8_t> scan, const TofCalibration& cal);
Result<Spectrum> decode_encoding_c(std::span<const std::uint8_t> scan, const TofCalibration& cal);

}  // namespace tessmoor::core
