// _HEADER.TXT text parser.  Each input is parsed twice: as it comes (the
// parser must survive bytes that are not UTF-8 at all) and after the lossy
// UTF-8 decoding that reading the file applies.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common.hpp"
#include "core/format/header.hpp"
#include "core/format/text.hpp"

using namespace tessmoor::core;

namespace {

bool is_substring(const std::optional<std::string>& field, std::string_view text) {
    return !field || text.find(*field) != std::string_view::npos;
}

void check(std::string_view text, bool decoded) {
    fuzz::AllocationWatch watch(text.size(), 16, 64 * 1024);
    auto parsed = Header::from_str(text);
    watch.check("Header::from_str");
    if (!parsed) {
        const Status& e = parsed.status();
        FUZZ_CHECK(e.kind() == StatusKind::Format, "a text parser reports no I/O error");
        FUZZ_CHECK(e.file().empty() && !e.func() && !e.scan(), "a parse of text alone names no file");
        const std::string& m = e.message();
        FUZZ_CHECK(fuzz::starts_with(m, "_HEADER.TXT: invalid function index in key \"") ||
                       fuzz::starts_with(m, "_HEADER.TXT: unknown calibration type \"") ||
                       fuzz::starts_with(m, "_HEADER.TXT: invalid coefficient \""),
                   m);
        FUZZ_CHECK(m.back() == '"', m);
        if (decoded) FUZZ_CHECK(fuzz::valid_utf8(m), m);
        // Only a calibration line can fail the file.
        FUZZ_CHECK(text.find("Cal Function ") != std::string_view::npos, m);
        return;
    }
    const Header& h = *parsed;
    // Every calibration comes from its own "$$ Cal Function N: ..." line.
    FUZZ_CHECK(h.calibrations.size() <= fuzz::count_of(text, "Cal Function "), "more calibrations than lines");
    for (const auto& [index, cal] : h.calibrations) {
        (void)index;
        FUZZ_CHECK(cal.kind == CalibrationKind::T0 || cal.kind == CalibrationKind::T1, "calibration kind");
        // Coefficients are separated by commas: never more of them than commas.
        FUZZ_CHECK(cal.coefficients.size() <= fuzz::count_of(text, ","), "more coefficients than commas");
    }
    // Text fields are cut out of a line: they appear in the input verbatim.
    for (const auto* f : {&h.version, &h.acquired_name, &h.acquired_date, &h.acquired_time,
                          &h.instrument, &h.user_name, &h.sample_description}) {
        FUZZ_CHECK(is_substring(*f, text), "text field not taken from the input");
        if (f->has_value()) FUZZ_CHECK(!(*f)->empty(), "empty text field");
        if (decoded && f->has_value()) FUZZ_CHECK(fuzz::valid_utf8(**f), **f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    check(std::string_view(reinterpret_cast<const char*>(data), size), false);

    const std::string text = text::decode_text_file(bytes);
    FUZZ_CHECK(fuzz::valid_utf8(text), "lossy decoding must give well-formed UTF-8");
    // Each input byte gives at most one U+FFFD (3 bytes).
    FUZZ_CHECK(text.size() <= 3 * size, "decoded text too long");
    if (text::is_valid_utf8(bytes)) {
        const std::string_view in(reinterpret_cast<const char*>(data), size);
        FUZZ_CHECK(text == in || (fuzz::starts_with(in, "\xEF\xBB\xBF") && text == in.substr(3)),
                   "decoding changed well-formed UTF-8");
    }
    check(text, true);
    return 0;
}
