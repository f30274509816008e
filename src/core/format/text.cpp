#include "core/format/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <system_error>

namespace tessmoor::core::text {

namespace {

#include "core/format/unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t c) noexcept {
    // First range whose end is not below c; c is in the table when that
    // range also starts at or before c.
    const CodeRange* it = std::lower_bound(std::begin(table), std::end(table), c,
                                           [](const CodeRange& r, char32_t v) { return r.last < v; });
    return it != std::end(table) && it->first <= c;
}

constexpr char32_t kReplacement = 0xFFFD;

bool is_cont(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// The well-formed UTF-8 sequences (Unicode Standard, table 3-7): for a lead
// byte, the number of continuation bytes and the allowed range of the first
// one (the later ones are always 80..BF).  A lead byte outside the table
// (80..C1, F5..FF) has `count` 0 and is ill-formed by itself.
struct LeadInfo {
    int count;
    std::uint8_t lo;
    std::uint8_t hi;
};

LeadInfo lead_info(std::uint8_t b) noexcept {
    if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
    if (b == 0xE0) return {2, 0xA0, 0xBF};
    if (b == 0xED) return {2, 0x80, 0x9F};  // no surrogates
    if (b >= 0xE1 && b <= 0xEF) return {2, 0x80, 0xBF};
    if (b == 0xF0) return {3, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
    if (b == 0xF4) return {3, 0x80, 0x8F};  // nothing above U+10FFFF
    return {0, 0, 0};
}

// One step of decoding at `pos`: the code point and the number of bytes it
// took.  An ill-formed sequence gives ok = false and `len` = the length of
// its maximal subpart (at least 1), which is what one U+FFFD replaces.
struct Step {
    char32_t cp;
    std::size_t len;
    bool ok;
};

Step decode_at(const std::uint8_t* p, std::size_t avail) noexcept {
    const std::uint8_t b0 = p[0];
    if (b0 < 0x80) return {b0, 1, true};
    const LeadInfo li = lead_info(b0);
    if (li.count == 0) return {kReplacement, 1, false};
    char32_t cp = b0 & (0x3F >> li.count);
    for (int i = 1; i <= li.count; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        if (k >= avail) return {kReplacement, k, false};
        const std::uint8_t b = p[k];
        const std::uint8_t lo = i == 1 ? li.lo : 0x80;
        const std::uint8_t hi = i == 1 ? li.hi : 0xBF;
        if (b < lo || b > hi) return {kReplacement, k, false};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, static_cast<std::size_t>(li.count) + 1, true};
}

Step decode_at(std::string_view s, std::size_t pos) noexcept {
    return decode_at(reinterpret_cast<const std::uint8_t*>(s.data()) + pos, s.size() - pos);
}


bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignore_case(std::string_view s, std::string_view lower_word) noexcept {
    if (s.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (ascii_lower(s[i]) != lower_word[i]) return false;
    return true;
}

// Start of the last character of a non-empty text: steps back over at most
// three continuation bytes.  For ill-formed text the caller re-checks by
// decoding forward from here.
std::size_t last_char_start(std::string_view s) noexcept {
    std::size_t pos = s.size() - 1;
    for (int i = 0; i < 3 && pos > 0 && is_cont(static_cast<std::uint8_t>(s[pos])); ++i) --pos;
    return pos;
}

}  // namespace

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII are copied as they stand.
        std::size_t j = i;
        while (j < n && p[j] < 0x80) ++j;
        out.append(reinterpret_cast<const char*>(p + i), j - i);
        i = j;
        if (i == n) break;
        const Step st = decode_at(p + i, n - i);
        if (st.ok)
            out.append(reinterpret_cast<const char*>(p + i), st.len);
        else
            append_utf8(out, kReplacement);
        i += st.len;
    }
    return out;
}

std::string decode_text_file(std::span<const std::uint8_t> bytes) {
    // A UTF-8 byte-order mark is a well-formed sequence of its own, so
    // skipping its three bytes before decoding is the same as dropping the
    // decoded U+FEFF.  Only one is dropped: a second one is text.
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        bytes = bytes.subspan(3);
    return decode_utf8_lossy(bytes);
}

bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const Step st = decode_at(p + i, n - i);
        if (!st.ok) return false;
        i += st.len;
    }
    return true;
}

std::optional<std::string_view> LineCursor::next() noexcept {
    if (rest_.empty()) return std::nullopt;
    const std::size_t lf = rest_.find('\n');
    if (lf == std::string_view::npos) {
        const std::string_view line = rest_;
        rest_ = {};
        return line;
    }
    std::string_view line = rest_.substr(0, lf);
    if (line.ends_with('\r')) line.remove_suffix(1);
    rest_.remove_prefix(lf + 1);
    return line;
}

bool is_white_space(char32_t c) noexcept { return in_ranges(kWhiteSpace, c); }

std::string_view trim(std::string_view s) noexcept {
    std::size_t begin = 0;
    while (begin < s.size()) {
        const Step st = decode_at(s, begin);
        if (!st.ok || !is_white_space(st.cp)) break;
        begin += st.len;
    }
    s.remove_prefix(begin);
    while (!s.empty()) {
        const std::size_t pos = last_char_start(s);
        const Step st = decode_at(s, pos);
        // The character must end exactly at the end of the text; anything
        // else is ill-formed there and is not whitespace.
        if (!st.ok || pos + st.len != s.size() || !is_white_space(st.cp)) break;
        s.remove_suffix(st.len);
    }
    return s;
}

std::optional<std::string_view> TokenCursor::next() noexcept {
    std::size_t token_start = std::string_view::npos;
    while (pos_ < text_.size()) {
        const Step st = decode_at(text_, pos_);
        const bool white = st.ok && is_white_space(st.cp);
        if (white && token_start != std::string_view::npos)
            return text_.substr(token_start, pos_ - token_start);
        if (!white && token_start == std::string_view::npos) token_start = pos_;
        pos_ += st.len;
    }
    if (token_start != std::string_view::npos) return text_.substr(token_start);
    return std::nullopt;
}

std::optional<double> parse_float(std::string_view s) noexcept {
    bool negative = false;
    std::string_view body = s;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (equals_ignore_case(body, "inf") || equals_ignore_case(body, "infinity"))
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    if (equals_ignore_case(body, "nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
    }

    // Decimal number: int digits, optional '.' and fraction digits (not both
    // digit runs empty), optional exponent with at least one digit.
    std::size_t i = 0;
    const std::size_t n = body.size();
    const std::size_t int_begin = i;
    while (i < n && is_digit(body[i])) ++i;
    const std::string_view int_digits = body.substr(int_begin, i - int_begin);
    std::string_view frac_digits;
    if (i < n && body[i] == '.') {
        ++i;
        const std::size_t frac_begin = i;
        while (i < n && is_digit(body[i])) ++i;
        frac_digits = body.substr(frac_begin, i - frac_begin);
    }
    if (int_digits.empty() && frac_digits.empty()) return std::nullopt;
    // The exponent, saturated far beyond any double's reach so that a long
    // run of exponent digits cannot overflow the accumulator.
    constexpr std::int64_t kExpCap = 1'000'000'000;
    std::int64_t exponent = 0;
    if (i < n && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < n && (body[i] == '+' || body[i] == '-')) {
            exp_negative = body[i] == '-';
            ++i;
        }
        const std::size_t exp_begin = i;
        while (i < n && is_digit(body[i])) {
            if (exponent < kExpCap) exponent = exponent * 10 + (body[i] - '0');
            ++i;
        }
        if (i == exp_begin) return std::nullopt;
        if (exp_negative) exponent = -exponent;
    }
    if (i != n) return std::nullopt;

    // from_chars takes no '+' but does take '-', and rounds correctly to
    // nearest, ties to even.  Beyond the double range it reports
    // result_out_of_range instead of giving a value.
    const char* first = negative ? body.data() - 1 : body.data();
    const char* last = body.data() + body.size();
    double value = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, value, std::chars_format::general);
    if (r.ec == std::errc() && r.ptr == last) return value;
    if (r.ec != std::errc::result_out_of_range || r.ptr != last) return std::nullopt;

    // Out of range: decide between overflow (infinity) and underflow (zero)
    // by the decimal magnitude, the power of ten of the leading nonzero
    // digit plus one.  Overflow needs it above 308, underflow below -322,
    // so its sign settles the case.  (An all-zero number is never out of
    // range.)
    std::int64_t magnitude = exponent;
    const std::size_t lead = int_digits.find_first_not_of('0');
    if (lead != std::string_view::npos) {
        const std::size_t count = int_digits.size() - lead;
        magnitude += count > static_cast<std::size_t>(kExpCap) ? kExpCap : static_cast<std::int64_t>(count);
    } else {
        const std::size_t frac_lead = frac_digits.find_first_not_of('0');
        const std::size_t zeros = frac_lead == std::string_view::npos ? frac_digits.size() : frac_lead;
        magnitude -= zeros > static_cast<std::size_t>(kExpCap) ? kExpCap : static_cast<std::int64_t>(zeros);
    }
    if (magnitude > 0)
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    return negative ? -0.0 : 0.0;
}

std::optional<std::uint32_t> parse_u32(std::string_view s) noexcept {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : s) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string debug_quote(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(utf8.size() + 2);
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const Step st = decode_at(utf8, pos);
        const char32_t c = st.cp;  // ill-formed bytes show as U+FFFD
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (in_ranges(kDebugEscape, c)) {
                    out += "\\u{";
                    int shift = 20;
                    while (shift > 0 && (c >> shift) == 0) shift -= 4;
                    for (; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
                    out.push_back('}');
                } else if (st.ok) {
                    out.append(utf8.substr(pos, st.len));
                } else {
                    append_utf8(out, kReplacement);
                }
        }
        pos += st.len;
    }
    out.push_back('"');
    return out;
}

}  // namespace tessmoor::core::text
