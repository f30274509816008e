// Encoding C scan records: 8 bytes each (intensity, bin fraction, bin); the
// first and last records' bins anchor the flight-time axis.
#include <cstddef>
#include <cstdint>

#include "common.hpp"
#include "decoder_input.hpp"

using namespace tessmoor::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::split_decoder_input(data, size);
    const fuzz::ReferenceScan want = fuzz::check_decoder(Encoding::C, input);

    auto spectrum = decode_encoding_c(input.scan, input.cal);
    FUZZ_CHECK(spectrum.ok() == !want.error, "decode_encoding_c and decode_scan disagree");
    if (!spectrum) return 0;
    FUZZ_CHECK(spectrum->mz.size() == want.peaks.mz.size() && spectrum->intensity.size() == want.peaks.mz.size(),
               "decode_encoding_c array lengths");
    fuzz::check_same_values(spectrum->mz, want.peaks.mz, want.peaks.mz.size(), "decode_encoding_c m/z");
    // Encoding B reads the same records: as many peaks, with the same
    // intensities.
    auto ims = decode_encoding_b(input.scan, input.cal);
    FUZZ_CHECK(ims.ok() && ims->intensity.size() == want.peaks.intensity.size(), "Encodings B and C disagree");
    fuzz::check_same_values(ims->intensity, want.peaks.intensity, want.peaks.intensity.size(), "B and C intensity");
    return 0;
}
