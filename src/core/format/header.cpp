#include "core/format/header.hpp"

#include <utility>

#include "core/io/file.hpp"
#include "core/format/text.hpp"

namespace tessmoor::core {

namespace {

constexpr std::string_view kCalPrefix = "Cal Function ";

// The text field that a key fills, or nullptr for any other key.
std::optional<std::string>* text_field(Header& h, std::string_view key) {
    if (key == "Version") return &h.version;
    if (key == "Acquired Name") return &h.acquired_name;
    if (key == "Acquired Date") return &h.acquired_date;
    if (key == "Acquired Time") return &h.acquired_time;
    if (key == "Instrument") return &h.instrument;
    if (key == "User Name") return &h.user_name;
    if (key == "Sample Description") return &h.sample_description;
    return nullptr;
}

// A calibration line: "Cal Function N: c0, c1, ..., T1".  The items are
// the polynomial's coefficients, constant term first, and the type word
// last.  Checked in this order: index, type word, coefficients.
Result<std::pair<std::uint32_t, Calibration>> parse_calibration(std::string_view key,
                                                                   std::string_view value) {
    // Some writers repeat the prefix ("Cal Function Cal Function 3").
    std::string_view number = key;
    while (number.starts_with(kCalPrefix)) number.remove_prefix(kCalPrefix.size());
    const std::optional<std::uint32_t> index = text::parse_u32(text::trim(number));
    if (!index)
        return Status::format("_HEADER.TXT: invalid function index in key " + text::debug_quote(key));

    // Items are cut at every comma; empty items count here so that a
    // trailing comma leaves an empty type word.  The last item is the type
    // word and is checked first; the items before it are walked in place,
    // without a list of them.
    const std::size_t last_comma = value.rfind(',');
    const std::string_view last_item =
        last_comma == std::string_view::npos ? value : value.substr(last_comma + 1);

    Calibration cal;
    const std::string_view type_word = text::trim(last_item);
    if (type_word == "T0")
        cal.kind = CalibrationKind::T0;
    else if (type_word == "T1")
        cal.kind = CalibrationKind::T1;
    else
        return Status::format("_HEADER.TXT: unknown calibration type " + text::debug_quote(type_word));

    if (last_comma == std::string_view::npos) return std::pair{*index, std::move(cal)};
    // The items before the type word: value[0, last_comma) cut at commas.
    const std::string_view before = value.substr(0, last_comma);
    for (std::size_t start = 0;;) {
        const std::size_t comma = before.find(',', start);
        const std::string_view item = comma == std::string_view::npos
                                          ? before.substr(start)
                                          : before.substr(start, comma - start);
        const std::string_view t = text::trim(item);
        if (!t.empty()) {  // "1.5, ,2.5" has two coefficients
            const std::optional<double> c = text::parse_float(t);
            if (!c) return Status::format("_HEADER.TXT: invalid coefficient " + text::debug_quote(item));
            cal.coefficients.push_back(*c);
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return std::pair{*index, std::move(cal)};
}

}  // namespace

Result<Header> Header::from_str(std::string_view text) {
    Header h;
    text::LineCursor lines(text);
    while (const std::optional<std::string_view> raw_line = lines.next()) {
        // Only "$$ Key: value" lines carry information.
        const std::string_view line = text::trim(*raw_line);
        if (!line.starts_with("$$")) continue;
        const std::string_view rest = line.substr(2);
        const std::size_t sep = rest.find(": ");
        if (sep == std::string_view::npos) continue;
        const std::string_view key = text::trim(rest.substr(0, sep));
        const std::string_view value = text::trim(rest.substr(sep + 2));

        if (std::optional<std::string>* field = text_field(h, key)) {
            *field = std::string(value);  // a later line replaces the value
        } else if (key.starts_with(kCalPrefix)) {
            Result<std::pair<std::uint32_t, Calibration>> cal = parse_calibration(key, value);
            if (!cal) return std::move(cal).status();
            // A later line for the same function replaces the earlier one.
            h.calibrations.insert_or_assign(cal->first, std::move(cal->second));
        }
    }
    return h;
}

Result<Header> Header::from_path(const std::string& path) {
    TESSMOOR_ASSIGN_OR_RETURN(const Bytes bytes, read_whole_file(path, FileRole::Header));
    return in_file(from_str(text::decode_text_file(bytes)), path, FileRole::Header);
}

}  // namespace tessmoor::core
