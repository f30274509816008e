// _extern.inf text parser, on raw bytes and on the lossy-decoded text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common.hpp"
#include "core/format/extern_inf.hpp"
#include "core/format/text.hpp"

using namespace tessmoor::core;

namespace {

void check(std::string_view text) {
    fuzz::AllocationWatch watch(text.size(), 16, 64 * 1024);
    auto parsed = ExternInf::from_str(text);
    watch.check("ExternInf::from_str");
    if (!parsed) {
        const Status& e = parsed.status();
        FUZZ_CHECK(e.kind() == StatusKind::Format, "a text parser reports no I/O error");
        const std::string& m = e.message();
        FUZZ_CHECK(m == "_extern.inf: Lteff field not found" || m == "_extern.inf: Veff field not found" ||
                       m == "_extern.inf: neither PusherInterval nor Pusher Cycle Time found",
                   m);
        // The checks run in a fixed order: a later message means the
        // earlier settings were found, so their names are in the text.
        if (m != "_extern.inf: Lteff field not found")
            FUZZ_CHECK(text.find("Lteff") != std::string_view::npos, m);
        if (m == "_extern.inf: neither PusherInterval nor Pusher Cycle Time found")
            FUZZ_CHECK(text.find("Veff") != std::string_view::npos, m);
        return;
    }
    const ExternInf& x = *parsed;
    FUZZ_CHECK(text.find("Lteff") != std::string_view::npos, "Lteff without its name");
    FUZZ_CHECK(text.find("Veff") != std::string_view::npos, "Veff without its name");
    // "Pusher Cycle Time" may be written with any whitespace between words.
    FUZZ_CHECK(text.find("Pusher") != std::string_view::npos, "pusher interval without its name");
    // One function record per function header line at most.
    FUZZ_CHECK(x.function_parameters.size() <= fuzz::count_of(text, "Function Parameters - Function "),
               "more function records than header lines");
    for (const auto& [number, p] : x.function_parameters)
        FUZZ_CHECK(p.function == number, "function record under another number");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string text = text::decode_text_file(std::span<const std::uint8_t>(data, size));
    FUZZ_CHECK(fuzz::valid_utf8(text), "lossy decoding must give well-formed UTF-8");
    check(text);
    return 0;
}
