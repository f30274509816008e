#include "raw/text.hpp"
// Placeholder: implemented in the text-rules change.
namespace tessmoor::raw::text {
std::string decode_utf8_lossy(std::span<const std::uint8_t> b) { return std::string(b.begin(), b.end()); }
std::string decode_text_file(std::span<const std::uint8_t> b) { return decode_utf8_lossy(b); }
bool is_valid_utf8(std::span<const std::uint8_t>) { return true; }
std::vector<std::string_view> split_lines(std::string_view) { return {}; }
bool is_white_space(char32_t c) noexcept { return c == ' '; }
std::string_view trim(std::string_view s) noexcept { return s; }
std::vector<std::string_view> split_white_space(std::string_view) { return {}; }
std::optional<double> parse_float(std::string_view) noexcept { return std::nullopt; }
std::optional<std::uint32_t> parse_u32(std::string_view) noexcept { return std::nullopt; }
std::string debug_quote(std::string_view s) { return std::string(s); }
}  // namespace tessmoor::raw::text
