// Encoding C scan records: 8 bytes each (intensity, bin fraction, bin); the
// first and last records' bins anchor the flight-time axis.
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

    // Two arrays of up to n entries (8 + 4 bytes each) for n 8-byte records;
    // the arrays may grow once past their reservation.
    fuzz::AllocationWatch watch(len, 4, 4096);
    auto decoded = decode_encoding_c(scan, input.cal);
    watch.check("decode_encoding_c");
    fuzz::check_span_decoder(Encoding::C, scan, decoded, [&](auto mz, auto, auto intensity) {
        return decode_encoding_c_into(scan, input.cal, mz, intensity);
    });

    if (len % 8 != 0) {
        const std::string want = "Encoding C: scan size " + std::to_string(len) + " is not a multiple of 8";
        FUZZ_CHECK(!decoded && decoded.error() == want, decoded ? std::string("accepted") : decoded.error());
        return 0;
    }
    FUZZ_CHECK(decoded.has_value(), decoded.error());
    const Spectrum& s = *decoded;
    FUZZ_CHECK(s.mz.size() == s.intensity.size(), "mz and intensity differ in length");
    const std::size_t n = len / 8;
    const bool axis = n >= 2 && fuzz::u16(&scan[len - 2]) > fuzz::u16(&scan[6]);
    std::size_t k = 0;
    if (axis) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint16_t intensity = fuzz::u16(&scan[8 * i + 2]);
            if (intensity == 0) continue;
            FUZZ_CHECK(k < s.intensity.size() && s.intensity[k] == static_cast<float>(intensity),
                       "intensity out of record order");
            ++k;
        }
    }
    FUZZ_CHECK(k == s.intensity.size(), "entries without a record");
    return 0;
}
