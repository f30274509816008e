// How the decoder harnesses split their input: a calibration prefix, then
// the scan's bytes.
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
#include <span>

#include "common.hpp"
#include "raw/data.hpp"

namespace fuzz {

struct DecoderInput {
    tessmoor::raw::TofCalibration cal;
    std::span<const std::uint8_t> scan;
};

inline DecoderInput split_decoder_input(const std::uint8_t* data, std::size_t size) {
    using namespace tessmoor::raw;
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

}  // namespace fuzz
