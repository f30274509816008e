// Encoding A scan records: 6 bytes each, a sentinel first, then peaks.
#include <cstddef>
#include <cstdint>

#include "common.hpp"
#include "decoder_input.hpp"

using namespace tessmoor::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::split_decoder_input(data, size);
    const fuzz::ReferenceScan want = fuzz::check_decoder(Encoding::A, input);

    auto spectrum = decode_encoding_a(input.scan, input.cal);
    FUZZ_CHECK(spectrum.ok() == !want.error, "decode_encoding_a and decode_scan disagree");
    if (!spectrum) return 0;
    FUZZ_CHECK(spectrum->mz.size() == want.peaks.mz.size() && spectrum->intensity.size() == want.peaks.mz.size(),
               "decode_encoding_a array lengths");
    fuzz::check_same_values(spectrum->mz, want.peaks.mz, want.peaks.mz.size(), "decode_encoding_a m/z");
    // A peak's intensity is its record's byte: 1 to 255.
    for (const float v : want.peaks.intensity) FUZZ_CHECK(v >= 1.0f && v <= 255.0f, "intensity outside a byte");
    return 0;
}
