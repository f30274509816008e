// Encoding B ion-mobility records: 8 bytes each (intensity, drift position,
// bin); three arrays of equal length.
#include <cmath>
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

    // Three arrays of n entries (8 + 8 + 4 bytes) for n 8-byte records.
    fuzz::AllocationWatch watch(len, 3, 4096);
    auto decoded = decode_encoding_b(scan, input.cal);
    watch.check("decode_encoding_b");
    fuzz::check_span_decoder(Encoding::B, scan, decoded, [&](auto mz, auto drift, auto intensity) {
        return decode_encoding_b_into(scan, input.cal, mz, drift, intensity);
    });

    if (len % 8 != 0) {
        const std::string want = "Encoding B: scan size " + std::to_string(len) + " is not a multiple of 8";
        FUZZ_CHECK(!decoded && decoded.error() == want, decoded ? std::string("accepted") : decoded.error());
        return 0;
    }
    FUZZ_CHECK(decoded.has_value(), decoded.error());
    const ImsSpectrum& s = *decoded;
    FUZZ_CHECK(s.mz.size() == s.intensity.size() && s.drift_time_ms.size() == s.intensity.size(),
               "mz, drift_time_ms and intensity differ in length");
    const std::size_t n = len / 8;
    const bool axis = n >= 2 && fuzz::u16(&scan[len - 2]) > fuzz::u16(&scan[6]);
    const double scale = input.cal.drift_scale_ms;
    std::size_t k = 0;
    if (axis) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* r = &scan[8 * i];
            const std::uint16_t intensity = fuzz::u16(r + 2);
            if (intensity == 0) continue;
            FUZZ_CHECK(k < s.intensity.size() && s.intensity[k] == static_cast<float>(intensity),
                       "intensity out of record order");
            // The drift position is a fraction of the scan time: below it.
            const double d = s.drift_time_ms[k];
            if (std::isfinite(scale) && scale >= 0.0)
                FUZZ_CHECK(d >= 0.0 && d <= scale, "drift time outside the scan time");
            if (fuzz::u16(r + 4) == 0 && std::isfinite(scale)) FUZZ_CHECK(d == 0.0, "drift position 0");
            ++k;
        }
    }
    FUZZ_CHECK(k == s.intensity.size(), "entries without a record");
    return 0;
}
