#include "core/format/extern_inf.hpp"

#include <optional>
#include <string>

#include "core/io/file.hpp"
#include "core/format/text.hpp"

namespace tessmoor::core {

namespace {

constexpr std::string_view kFunctionHeader = "Function Parameters - Function ";

// Settings are "Name (unit)<whitespace>value": the value is the last token
// of the line, the key all the tokens before it joined with single spaces,
// so "Pusher  Cycle\tTime" reads as "Pusher Cycle Time".  The name is the
// key before any "(" with trailing whitespace removed.  Tokens are taken
// one at a time, so a long line costs no list of its tokens.
struct Setting {
    std::string name;
    std::string_view value;
};

std::optional<Setting> read_setting(std::string_view line) {
    text::TokenCursor tokens(line);
    std::optional<std::string_view> last = tokens.next();
    if (!last) return std::nullopt;
    std::string key;
    bool two_or_more = false;
    while (const std::optional<std::string_view> token = tokens.next()) {
        // The token before this one belongs to the key.
        if (two_or_more) key.push_back(' ');
        key.append(*last);
        two_or_more = true;
        last = token;
    }
    if (!two_or_more) return std::nullopt;
    const std::size_t paren = key.find('(');
    if (paren != std::string::npos) key.erase(paren);
    return Setting{std::string(text::trim(key)), *last};
}

}  // namespace

Result<ExternInf> ExternInf::from_str(std::string_view text) {
    ExternInf out;
    // Instrument-wide constants: the first line with a numeric value wins.
    std::optional<double> lteff, veff, pusher_interval, pusher_cycle_time;
    // The function whose block the current line is in, if any.
    FunctionParameters* selected = nullptr;

    text::LineCursor lines(text);
    while (const std::optional<std::string_view> raw_line = lines.next()) {
        const std::string_view line = text::trim(*raw_line);
        if (line.empty()) continue;

        if (line.starts_with(kFunctionHeader)) {
            // "Function Parameters - Function 2 - TOF MS FUNCTION": the number
            // is the first token, which may carry trailing dashes ("3-").
            const std::optional<std::string_view> token =
                text::TokenCursor(line.substr(kFunctionHeader.size())).next();
            if (!token) continue;
            std::string_view number = *token;
            while (number.ends_with('-')) number.remove_suffix(1);
            const std::optional<std::uint32_t> n = text::parse_u32(number);
            if (!n) continue;  // selection unchanged
            // A repeated header keeps what its block already gathered.
            auto [it, inserted] = out.function_parameters.try_emplace(*n);
            if (inserted) it->second.function = *n;
            selected = &it->second;
            continue;
        }

        if (line.ends_with(':')) {
            // A heading ends a function's block unless it is about that
            // function ("Function 2 Settings:"); instrument headings always
            // end it, even when they name a function.
            if (line.starts_with("Instrument") || line.find("Function") == std::string_view::npos)
                selected = nullptr;
            continue;
        }

        const std::optional<Setting> setting = read_setting(line);
        if (!setting) continue;  // fewer than two tokens
        const std::string& name = setting->name;

        std::optional<double>* global = nullptr;
        if (name == "Lteff")
            global = &lteff;
        else if (name == "Veff")
            global = &veff;
        else if (name == "PusherInterval")
            global = &pusher_interval;
        else if (name == "Pusher Cycle Time")
            global = &pusher_cycle_time;
        const bool per_function =
            name == "Start Mass" || name == "End Mass" || name == "ADC Pusher Frequency";
        if (!global && !per_function) continue;

        // A value that is not a number ("Automatic", a unit) is skipped.
        const std::optional<double> value = text::parse_float(setting->value);
        if (!value) continue;

        if (global) {
            if (!*global) *global = *value;
        } else if (selected) {
            if (name == "Start Mass")
                selected->start_mass = *value;
            else if (name == "End Mass")
                selected->end_mass = *value;
            else
                selected->adc_pusher_frequency = *value;
        }
    }

    if (!lteff) return Status::format("_extern.inf: Lteff field not found");
    if (!veff) return Status::format("_extern.inf: Veff field not found");
    if (!pusher_interval && !pusher_cycle_time)
        return Status::format("_extern.inf: neither PusherInterval nor Pusher Cycle Time found");
    out.lteff = *lteff;
    out.veff = *veff;
    // PusherInterval takes precedence wherever it stands in the file.
    out.pusher_interval = pusher_interval ? *pusher_interval : *pusher_cycle_time;
    return out;
}

Result<ExternInf> ExternInf::from_path(const std::string& path) {
    TESSMOOR_ASSIGN_OR_RETURN(const Bytes bytes, read_whole_file(path, FileRole::Extern));
    return in_file(from_str(text::decode_text_file(bytes)), path, FileRole::Extern);
}

}  // namespace tessmoor::core
