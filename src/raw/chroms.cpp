#include "raw/chroms.hpp"
// Placeholder: implemented in the channels change.
namespace tessmoor::raw {
Expected<ChromsInf> ChromsInf::from_bytes(std::span<const std::uint8_t>) { return ChromsInf{}; }
Expected<ChromsInf> ChromsInf::from_path(const std::string&) { return ChromsInf{}; }
Expected<std::vector<ChromPoint>> parse_chro_bytes(std::span<const std::uint8_t>) { return std::vector<ChromPoint>{}; }
Expected<std::vector<ChromPoint>> read_chro_dat(const std::string&) { return std::vector<ChromPoint>{}; }
std::string decode_windows_1252(std::span<const std::uint8_t> b) { return std::string(b.begin(), b.end()); }
std::string chro_file_name(std::uint64_t) { return "_CHRO003.DAT"; }
}  // namespace tessmoor::raw
