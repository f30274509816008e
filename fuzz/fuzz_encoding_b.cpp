// Encoding B ion-mobility records: 8 bytes each (intensity, drift position,
// bin); three arrays of equal length.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common.hpp"
#include "decoder_input.hpp"

using namespace tessmoor::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::split_decoder_input(data, size);
    const fuzz::ReferenceScan want = fuzz::check_decoder(Encoding::B, input);

    auto spectrum = decode_encoding_b(input.scan, input.cal);
    FUZZ_CHECK(spectrum.ok() == !want.error, "decode_encoding_b and decode_scan disagree");
    if (!spectrum) return 0;
    const std::size_t n = want.peaks.mz.size();
    FUZZ_CHECK(spectrum->mz.size() == n && spectrum->drift_time_ms.size() == n && spectrum->intensity.size() == n,
               "decode_encoding_b array lengths");
    fuzz::check_same_values(spectrum->drift_time_ms, want.peaks.drift_time_ms, n, "decode_encoding_b drift time");
    // A drift position is a 16-bit fraction of the scan time: the drift
    // time lies below it, and position 0 is time 0.
    const double scale = input.cal.drift_scale_ms;
    if (std::isfinite(scale) && scale >= 0.0)
        for (std::size_t k = 0; k < n; ++k)
            FUZZ_CHECK(spectrum->drift_time_ms[k] >= 0.0 && spectrum->drift_time_ms[k] <= scale,
                       "drift time outside the scan time");
    return 0;
}
