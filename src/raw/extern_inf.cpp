#include "raw/extern_inf.hpp"
// Placeholder: implemented in the _extern.inf change.
namespace tessmoor::raw {
Expected<ExternInf> ExternInf::from_str(std::string_view) { return ExternInf{1000.0, 10000.0, 50.0, {}}; }
Expected<ExternInf> ExternInf::from_path(const std::string&) { return ExternInf{1000.0, 10000.0, 50.0, {}}; }
}  // namespace tessmoor::raw
