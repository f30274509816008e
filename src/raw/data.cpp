#include "raw/data.hpp"
// Placeholder: implemented in the calibration and encodings change.
namespace tessmoor::raw {
TofCalibration TofCalibration::build(const FunctionInfo&, const Header&, const ExternInf&, std::uint32_t) { return {}; }
double flight_constant(double, double) noexcept { return 0.0; }
double time_to_mz(const TofCalibration&, double) noexcept { return 0.0; }
Expected<Spectrum, std::string> decode_encoding_a(std::span<const std::uint8_t>, const TofCalibration&) { return Spectrum{}; }
Expected<ImsSpectrum, std::string> decode_encoding_b(std::span<const std::uint8_t>, const TofCalibration&) { return ImsSpectrum{}; }
Expected<Spectrum, std::string> decode_encoding_c(std::span<const std::uint8_t>, const TofCalibration&) { return Spectrum{}; }
}  // namespace tessmoor::raw
