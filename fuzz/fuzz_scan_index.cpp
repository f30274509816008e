// _FUNCnnn.IDX scan index: the variant follows from the size alone, and an
// entry locates its scan's bytes inside a DAT file of any size.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "common.hpp"
#include "raw/index.hpp"

using namespace tessmoor::raw;

namespace {

// The byte range of an entry must lie inside the DAT data, or be one of the
// two non-byte outcomes its variant allows.
void check_range(const ScanRange& r, bool variant_a, std::uint64_t dat_size) {
    switch (r.kind) {
        case ScanRange::Kind::Bytes:
            FUZZ_CHECK(r.start <= r.end && r.end <= dat_size, "scan bytes outside the DAT data");
            if (!variant_a) FUZZ_CHECK(r.start < r.end, "Variant B bytes are never an empty range");
            break;
        case ScanRange::Kind::Empty:
            FUZZ_CHECK(!variant_a, "only Variant B scans are empty without bytes");
            break;
        case ScanRange::Kind::OutOfBounds:
            FUZZ_CHECK(variant_a, "only Variant A scans are out of bounds");
            FUZZ_CHECK(r.end > dat_size, "out of bounds while inside the DAT data");
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::AllocationWatch watch(size, 2, 4096);
    auto parsed = ScanIndex::from_bytes(std::span<const std::uint8_t>(data, size));
    watch.check("ScanIndex::from_bytes");

    if (size % 22 != 0 && size % 30 != 0) {
        FUZZ_CHECK(!parsed, "a size that fits neither record must fail");
        const std::string want = "_FUNCnnn.IDX: size " + std::to_string(size) +
                                 " is not a multiple of 22 (Variant A) or 30 (Variant B)";
        FUZZ_CHECK(parsed.error().kind() == Error::Kind::Parse && parsed.error().message() == want,
                   parsed.error().message());
        return 0;
    }
    FUZZ_CHECK(parsed.has_value(), parsed.error().text());
    const ScanIndex& idx = *parsed;
    const bool a = size % 22 == 0;
    FUZZ_CHECK(idx.is_variant_a() == a, "Variant A exactly when the size is a multiple of 22");
    const std::size_t rec = a ? 22 : 30;
    FUZZ_CHECK(idx.size() == size / rec, "one entry per record");

    for (std::size_t i = 0; i < idx.size(); ++i) {
        const std::uint8_t* r = data + rec * i;
        FUZZ_CHECK(fuzz::same_bits(idx.rt_min(i), static_cast<double>(fuzz::f32(r + 12))), "rt_min");
        if (a) {
            const ScanEntryA& e = idx.variant_a().entries[i];
            FUZZ_CHECK(e.offset == fuzz::u32(r) && e.point_count == fuzz::u16(r + 4) &&
                           e.word16 == fuzz::u16(r + 16),
                       "Variant A fields");
        } else {
            FUZZ_CHECK(idx.variant_b().entries[i].offset == fuzz::u32(r + 22), "Variant B offset");
        }
        // DAT sizes around the entry's own offset, and the extremes.
        const std::uint64_t off = a ? idx.variant_a().entries[i].offset : idx.variant_b().entries[i].offset;
        for (std::uint64_t dat : {std::uint64_t{0}, off, off + 1, off + 6, off + 393210,
                                  std::uint64_t{std::numeric_limits<std::uint32_t>::max()},
                                  std::numeric_limits<std::uint64_t>::max()}) {
            check_range(idx.byte_range(i, dat), a, dat);
        }
    }
    return 0;
}
