#include "raw/header.hpp"
// Placeholder: implemented in the _HEADER.TXT change.
namespace tessmoor::raw {
Expected<Header> Header::from_str(std::string_view) { return Header{}; }
Expected<Header> Header::from_path(const std::string&) { return Header{}; }
}  // namespace tessmoor::raw
