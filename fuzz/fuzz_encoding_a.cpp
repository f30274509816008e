// Encoding A scan records: 6 bytes each, a sentinel first, then peaks.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common.hpp"
#include "decoder_input.hpp"

using namespace tessmoor::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::split_decoder_input(data, size);
    const auto scan = input.scan;
    const std::size_t len = scan.size();

    // Two arrays of n - 1 entries (8 + 4 bytes each) for n 6-byte records.
    fuzz::AllocationWatch watch(len, 3, 4096);
    auto decoded = decode_encoding_a(scan, input.cal);
    watch.check("decode_encoding_a");
    fuzz::check_span_decoder(Encoding::A, scan, decoded, [&](auto mz, auto, auto intensity) {
        return decode_encoding_a_into(scan, input.cal, mz, intensity);
    });

    std::string want;
    if (len != 0) {
        if (len % 6 != 0)
            want = "Encoding A: scan size " + std::to_string(len) + " is not a multiple of 6";
        else if (scan[2] != 0x70)
            want = "Encoding A: first record block_type 0x";
        else if (fuzz::u16(&scan[4]) == 0)
            want = "Encoding A: sentinel_tof_bin is zero";
    }
    if (!want.empty()) {
        FUZZ_CHECK(!decoded, "bad scan accepted: " + want);
        FUZZ_CHECK(fuzz::starts_with(decoded.error(), want), decoded.error() + " / expected " + want);
        FUZZ_CHECK(fuzz::starts_with(decoded.error(), "Encoding A: "), decoded.error());
        return 0;
    }
    FUZZ_CHECK(decoded.has_value(), decoded.error());
    const Spectrum& s = *decoded;
    FUZZ_CHECK(s.mz.size() == s.intensity.size(), "mz and intensity differ in length");
    // Peaks in record order: every record after the sentinel with a non-zero
    // intensity that is not itself a sentinel.
    std::size_t k = 0;
    for (std::size_t i = 1; i < len / 6; ++i) {
        const std::uint8_t* r = &scan[6 * i];
        if (r[3] == 0 || r[2] == 0x70) continue;
        FUZZ_CHECK(k < s.intensity.size(), "a peak is missing");
        FUZZ_CHECK(s.intensity[k] == static_cast<float>(r[3]), "intensity out of record order");
        ++k;
    }
    FUZZ_CHECK(k == s.intensity.size(), "more entries than peaks");
    return 0;
}
