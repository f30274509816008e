// _CHROnnn.DAT channel samples: a 128-byte header, then 8-byte samples.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common.hpp"
#include "core/format/chroms.hpp"

using namespace tessmoor::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::AllocationWatch watch(size, 2, 4096);
    auto parsed = parse_chro_bytes(std::span<const std::uint8_t>(data, size));
    watch.check("parse_chro_bytes");

    std::string want;
    if (size < 128)
        want = "_CHRO*.DAT too small: " + std::to_string(size) + " bytes (need at least 128)";
    else if ((size - 128) % 8 != 0)
        want = "_CHRO*.DAT data section size " + std::to_string(size - 128) + " is not a multiple of 8";
    if (!want.empty()) {
        FUZZ_CHECK(!parsed, "bad size accepted: " + want);
        FUZZ_CHECK(parsed.status().kind() == StatusKind::Format && parsed.status().message() == want,
                   parsed.status().message() + " / expected " + want);
        return 0;
    }
    FUZZ_CHECK(parsed.ok(), parsed.status().text());
    const auto& pts = *parsed;
    FUZZ_CHECK(pts.size() == (size - 128) / 8, "one point per sample");
    for (std::size_t k = 0; k < pts.size(); ++k) {
        const std::uint8_t* s = data + 128 + 8 * k;
        FUZZ_CHECK(fuzz::same_bits(pts[k].rt_min, fuzz::f32(s)) && fuzz::same_bits(pts[k].value, fuzz::f32(s + 4)),
                   "sample values as stored");
    }
    return 0;
}
