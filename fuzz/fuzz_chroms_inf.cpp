// _CHROMS.INF channel table: a 128-byte header, N meta records and 85-byte
// channel records with Windows-1252 names and an optional "$CC$" string
// that carries the scale and units.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common.hpp"
#include "core/format/chroms.hpp"

using namespace tessmoor::core;

namespace {

// The message the layout checks must give for this input, in their order;
// empty when the layout is sound.
std::string expected_error(const std::uint8_t* data, std::size_t n) {
    if (n < 298) return "_CHROMS.INF too small: " + std::to_string(n) + " bytes (need at least 298)";
    const unsigned record_size = fuzz::u16(data + 4);
    if (record_size != 85)
        return "_CHROMS.INF: record size field is " + std::to_string(record_size) + ", expected 85";
    const std::uint64_t meta = fuzz::u16(data + 6);
    if (n < 128 + 85 * meta)
        return "_CHROMS.INF: file too small for declared " + std::to_string(meta) + " meta records";
    const std::uint64_t d = n - 128 - 85 * meta;
    if (d % 85 != 0) return "_CHROMS.INF: data section size " + std::to_string(d) + " is not a multiple of 85";
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A channel's two texts may take three bytes per name byte in UTF-8.
    fuzz::AllocationWatch watch(size, 16, 4096);
    auto parsed = ChromsInf::from_bytes(std::span<const std::uint8_t>(data, size));
    watch.check("ChromsInf::from_bytes");

    const std::string want = expected_error(data, size);
    if (!want.empty()) {
        FUZZ_CHECK(!parsed, "bad layout accepted: " + want);
        FUZZ_CHECK(parsed.status().kind() == StatusKind::Format && parsed.status().message() == want,
                   parsed.status().message() + " / expected " + want);
        return 0;
    }
    FUZZ_CHECK(parsed.ok(), parsed.status().text());
    const std::size_t first = 128 + 85 * std::size_t{fuzz::u16(data + 6)};
    const auto& chans = parsed->channels;
    FUZZ_CHECK(chans.size() == (size - first) / 85, "one channel per data record");
    for (std::size_t k = 0; k < chans.size(); ++k) {
        const std::uint8_t* r = data + first + 85 * k;
        const ChromChannel& c = chans[k];
        FUZZ_CHECK(c.index == k, "index is the position among data records");
        FUZZ_CHECK(c.source_type == fuzz::u32(r), "source_type");
        FUZZ_CHECK(fuzz::valid_utf8(c.name) && fuzz::valid_utf8(c.units), "texts are UTF-8");
        // Windows-1252: one character per byte, at most three UTF-8 bytes each.
        std::size_t name_len = 0;
        while (name_len < 81 && r[4 + name_len] != 0) ++name_len;
        FUZZ_CHECK(c.name.size() >= name_len && c.name.size() <= 3 * name_len, "name length");
        FUZZ_CHECK(c.units.size() <= 3 * 81, "units length");
        if (c.scale_f == 1.0 && c.units.empty()) continue;
        // Scale and units come only from a "$CC$" string in the name field.
        bool marker = false;
        for (std::size_t p = 0; p + 4 <= 81 && !marker; ++p)
            marker = r[4 + p] == '$' && r[5 + p] == 'C' && r[6 + p] == 'C' && r[7 + p] == '$';
        FUZZ_CHECK(marker, "scale or units without a $CC$ string");
    }
    return 0;
}
