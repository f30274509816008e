// The arithmetic is defined operation by operation, as in the decoders: one
// rounded IEEE-754 double operation per statement, in this order.
#include "core/decode/calibration.hpp"

#include <cmath>

namespace tessmoor::core {

namespace {
// Proton mass in kilograms, and twice the elementary charge in coulombs.
constexpr double proton_mass_kg = 1.6726219e-27;
constexpr double two_e_coulomb = 3.2043532e-19;
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

}  // namespace tessmoor::core
