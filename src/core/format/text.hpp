// Text rules shared by the two text files of a raw directory (_HEADER.TXT
// and _extern.inf): lossy UTF-8 decoding, line cutting, Unicode White_Space
// trimming, the number grammars and the debug-quoted form used in messages.
// All text is held as UTF-8 in std::string / std::string_view.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessmoor::core::text {

// Decodes bytes as UTF-8, replacing every maximal ill-formed subpart by one
// U+FFFD (the Unicode Standard's recommended practice).  Never fails.
std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);

// Decoding of a whole text file: decode_utf8_lossy, then one leading U+FEFF
// (a UTF-8 byte-order mark) is dropped so that the first line still counts.
std::string decode_text_file(std::span<const std::uint8_t> bytes);

// Appends the UTF-8 encoding of a code point.
void append_utf8(std::string& out, char32_t c);

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(std::span<const std::uint8_t> bytes);

// Hands out the lines of a text one at a time, so that reading a file keeps
// no list of its lines.  The text is cut at every LF; a CR right before the
// LF goes with it; a final piece without LF is a line too (an empty text has
// no line, a text ending in LF has no empty last line).  Views point into
// the text.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) noexcept : rest_(text) {}
    // The next line, or std::nullopt after the last one.
    std::optional<std::string_view> next() noexcept;

private:
    std::string_view rest_;
};


// Unicode White_Space property.
bool is_white_space(char32_t c) noexcept;

// Removes leading and trailing White_Space characters from UTF-8 text.
std::string_view trim(std::string_view s) noexcept;

// Hands out the tokens of UTF-8 text one at a time: the text is cut at runs
// of White_Space, and the pieces between them are the tokens (never empty).
// Views point into the text.
class TokenCursor {
public:
    explicit TokenCursor(std::string_view text) noexcept : text_(text) {}
    // The next token, or std::nullopt after the last one.
    std::optional<std::string_view> next() noexcept;

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};


// The float grammar: optional sign, then "inf" / "infinity" / "nan" in any
// case, or digits with an optional point and fraction (not both missing)
// and an optional exponent.  No whitespace.  Correctly rounded to nearest.
std::optional<double> parse_float(std::string_view s) noexcept;

// Unsigned 32-bit decimal: optional single "+", one or more ASCII digits,
// value at most 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view s) noexcept;

// The text between double quotes with '"' and '\' escaped, \t \r \n \0, and
// every other control, unprintable or combining character as \u{hex}.
std::string debug_quote(std::string_view utf8);

}  // namespace tessmoor::core::text
