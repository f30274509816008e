// What the decoder harnesses share: how they split their input (a
// calibration prefix, then the scan's bytes), and the check of the span
// decoders against the allocating ones.
//
//   byte 0      bit 0: a calibration line exists for the function
//               bit 1: its kind is T1 (else T0)
//               bits 2-4: number of coefficients (0-7)
//   8 bytes     lteff, 64-bit float
//   8 bytes     veff, 64-bit float
//   4 bytes     mz_low, 32-bit float
//   4 bytes     mz_high, 32-bit float
//   4 bytes     scan_time_s, 32-bit float
//   8 × count   coefficients, 64-bit floats
//   the rest    the scan bytes
//
// The calibration is built the way a query builds it, from a function
// record, a header and the instrument constants.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common.hpp"
#include "core/decode/encodings.hpp"

namespace fuzz {

struct DecoderInput {
    tessmoor::core::TofCalibration cal;
    std::span<const std::uint8_t> scan;
};

inline DecoderInput split_decoder_input(const std::uint8_t* data, std::size_t size) {
    using namespace tessmoor::core;
    Reader in(std::span<const std::uint8_t>(data, size));
    const std::uint8_t flags = in.byte();
    ExternInf ext;
    ext.lteff = in.value<double>();
    ext.veff = in.value<double>();
    FunctionInfo fn;
    fn.index = 1;
    fn.mz_low = in.value<float>();
    fn.mz_high = in.value<float>();
    fn.scan_time_s = in.value<float>();
    Header header;
    Calibration c;
    c.kind = (flags & 2) ? CalibrationKind::T1 : CalibrationKind::T0;
    const unsigned count = (flags >> 2) & 7;
    for (unsigned j = 0; j < count; ++j) c.coefficients.push_back(in.value<double>());
    if (flags & 1) header.calibrations.emplace(1, std::move(c));
    return DecoderInput{TofCalibration::build(fn, header, ext, 1), in.rest()};
}

// Runs a span decoder with output spans of exactly max_peaks(encoding,
// scan.size()) entries, each its own heap block so that AddressSanitizer
// stops a write past the end, and checks that it agrees with the allocating
// decoder: the same message, or the same number of peaks bit for bit.  The
// span decoder allocates nothing but its message.
//
//     into(mz, drift_time_ms, intensity) -> Expected<std::size_t, std::string>
template <class Result, class Into>
void check_span_decoder(tessmoor::core::Encoding encoding, std::span<const std::uint8_t> scan,
                        const tessmoor::core::Expected<Result, std::string>& whole, Into&& into) {
    const std::size_t cap = static_cast<std::size_t>(tessmoor::core::max_peaks(encoding, scan.size()));
    // new T[0] is a valid block of its own: a write into it is caught too.
    const std::unique_ptr<double[]> mz(new double[cap]);
    const std::unique_ptr<double[]> drift(new double[cap]);
    const std::unique_ptr<float[]> intensity(new float[cap]);
    AllocationWatch watch(0, 0, 1024);
    auto got = into(std::span<double>(mz.get(), cap), std::span<double>(drift.get(), cap),
                    std::span<float>(intensity.get(), cap));
    watch.check("span decoder");
    if (!whole) {
        FUZZ_CHECK(!got, "the span decoder accepted what the allocating one rejects: " + whole.error());
        FUZZ_CHECK(got.error() == whole.error(), got.error() + " / expected " + whole.error());
        return;
    }
    FUZZ_CHECK(got.has_value(), got.error());
    const std::size_t n = *got;
    FUZZ_CHECK(n == whole->intensity.size(), "the span decoder's peak count");
    for (std::size_t k = 0; k < n; ++k) {
        FUZZ_CHECK(same_bits(mz[k], whole->mz[k]), "span decoder m/z");
        FUZZ_CHECK(same_bits(intensity[k], whole->intensity[k]), "span decoder intensity");
        if constexpr (requires { whole->drift_time_ms; })
            FUZZ_CHECK(same_bits(drift[k], whole->drift_time_ms[k]), "span decoder drift time");
    }
}

}  // namespace fuzz
