#include "raw/header.hpp"

#include <utility>

#include "raw/file.hpp"
#include "raw/text.hpp"

namespace tessmoor::raw {

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
Expected<std::pair<std::uint32_t, Calibration>> parse_calibration(std::string_view key,
                                                                   std::string_view value) {
    // Some writers repeat the prefix ("Cal Function Cal Function 3").
    std::string_view number = key;
    while (number.starts_with(kCalPrefix)) number.remove_prefix(kCalPrefix.size());
    const std::optional<std::uint32_t> index = text::parse_u32(text::trim(number));
    if (!index)
        return Error::parse("_HEADER.TXT: invalid function index in key " + text::debug_quote(key));

    // Items are cut at every comma; empty items count here so that a
    // trailing comma leaves an empty type word.
    std::vector<std::string_view> items;
    for (std::size_t start = 0;;) {
        const std::size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) {
            items.push_back(value.substr(start));
            break;
        }
        items.push_back(value.substr(start, comma - start));
        start = comma + 1;
    }

    Calibration cal;
    const std::string_view type_word = text::trim(items.back());
    if (type_word == "T0")
        cal.kind = CalibrationKind::T0;
    else if (type_word == "T1")
        cal.kind = CalibrationKind::T1;
    else
        return Error::parse("_HEADER.TXT: unknown calibration type " + text::debug_quote(type_word));

    items.pop_back();
    cal.coefficients.reserve(items.size());
    for (const std::string_view item : items) {
        const std::string_view t = text::trim(item);
        if (t.empty()) continue;  // "1.5, ,2.5" has two coefficients
        const std::optional<double> c = text::parse_float(t);
        if (!c) return Error::parse("_HEADER.TXT: invalid coefficient " + text::debug_quote(item));
        cal.coefficients.push_back(*c);
    }
    return std::pair{*index, std::move(cal)};
}

}  // namespace

Expected<Header> Header::from_str(std::string_view text) {
    Header h;
    for (const std::string_view raw_line : text::split_lines(text)) {
        // Only "$$ Key: value" lines carry information.
        const std::string_view line = text::trim(raw_line);
        if (!line.starts_with("$$")) continue;
        const std::string_view rest = line.substr(2);
        const std::size_t sep = rest.find(": ");
        if (sep == std::string_view::npos) continue;
        const std::string_view key = text::trim(rest.substr(0, sep));
        const std::string_view value = text::trim(rest.substr(sep + 2));

        if (std::optional<std::string>* field = text_field(h, key)) {
            *field = std::string(value);  // a later line replaces the value
        } else if (key.starts_with(kCalPrefix)) {
            Expected<std::pair<std::uint32_t, Calibration>> cal = parse_calibration(key, value);
            if (!cal) return std::move(cal).error();
            // A later line for the same function replaces the earlier one.
            h.calibrations.insert_or_assign(cal->first, std::move(cal->second));
        }
    }
    return h;
}

Expected<Header> Header::from_path(const std::string& path) {
    Expected<Bytes, OsError> bytes = read_whole_file(path);
    if (!bytes) return Error::io(bytes.error());
    return from_str(text::decode_text_file(*bytes));
}

}  // namespace tessmoor::raw
