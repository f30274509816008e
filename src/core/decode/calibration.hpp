// The time-of-flight calibration shared by every decoder: how a flight
// time becomes an m/z, and a drift position a drift time.
#pragma once

#include <cstdint>
#include <vector>

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

}  // namespace tessmoor::core
