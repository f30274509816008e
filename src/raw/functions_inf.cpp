#include "raw/functions_inf.hpp"
// Placeholder: implemented in the _FUNCTNS.INF change.
namespace tessmoor::raw {
Expected<FunctionTable> FunctionTable::from_bytes(std::span<const std::uint8_t>) { return FunctionTable{}; }
Expected<FunctionTable> FunctionTable::from_path(const std::string&) { return FunctionTable{}; }
}  // namespace tessmoor::raw
