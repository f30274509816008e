#include "raw/run.hpp"
// Placeholder: the reader core is being written.
namespace tessmoor::raw {
std::string Failure::text() const {
    switch (kind) {
        case Kind::Message: return message;
        case Kind::Os: return os_error_text(os_errno);
        case Kind::Wrapped: return error->text();
    }
    return message;
}
Expected<Run, Failure> Run::open(std::string path) { return Failure::msg("'" + path + "' is not a directory"); }
Expected<FunctionInfo, Failure> Run::get_function(std::uint32_t) const { return Failure::msg("unimplemented"); }
Expected<std::uint64_t, Failure> Run::n_scans(std::uint32_t) const { return Failure::msg("unimplemented"); }
Expected<double, Failure> Run::retention_time(std::uint32_t, std::uint64_t) const { return Failure::msg("unimplemented"); }
Expected<Spectrum, Failure> Run::read_spectrum(std::uint32_t, std::uint64_t) const { return Failure::msg("unimplemented"); }
Expected<ImsSpectrum, Failure> Run::read_ims_spectrum(std::uint32_t, std::uint64_t) const { return Failure::msg("unimplemented"); }
Expected<std::vector<ChromPoint>, Failure> Run::read_chrom(std::uint64_t) const { return Failure::msg("unimplemented"); }
std::string func_file_name(std::uint32_t, const char*) { return {}; }
}  // namespace tessmoor::raw
