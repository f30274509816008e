// _FUNCnnn.IDX scan index: the variant follows from the size alone, and an
// entry locates its scan's bytes inside a DAT file of any size.  Beside a DAT
// file, a size that fits both record sizes is decided from the records
// (AmbiguousIndex), which must follow the rule however the index is fed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "common.hpp"
#include "core/format/index.hpp"
#include "reference.hpp"

using namespace tessmoor::core;

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

// Where the scan of a 22-byte record ends.
std::uint64_t a_end(const std::uint8_t* record) {
    return std::uint64_t{fuzz::u32(record)} + 6u * std::uint64_t{fuzz::u16(record + 4)};
}

// A reader feeds an index of a size that fits both record sizes to
// AmbiguousIndex in blocks and stops once the outcome is settled: fed whole,
// or 330 bytes at a time, the outcome must be the rule applied to the whole
// index.  The outcome turns where the DAT size crosses the largest 30-byte
// offset or the furthest end of a 22-byte scan: DAT sizes on both sides.
void check_ambiguous(std::span<const std::uint8_t> index) {
    std::uint64_t max_b = 0, max_a_end = 0;
    for (std::size_t k = 0; k < index.size(); k += 30)
        max_b = std::max<std::uint64_t>(max_b, fuzz::u32(&index[k + 22]));
    for (std::size_t k = 0; k < index.size(); k += 22) max_a_end = std::max(max_a_end, a_end(&index[k]));
    for (std::uint64_t dat : {std::uint64_t{0}, max_b, max_b + 1, max_a_end - 1, max_a_end,
                              std::numeric_limits<std::uint64_t>::max()}) {
        const IndexVariant want = *fuzz::reference_variant(index, dat);
        AmbiguousIndex whole(dat);
        whole.feed(index);
        FUZZ_CHECK(whole.variant() == want, "fed whole, the variant breaks the rule for a size that fits both");
        AmbiguousIndex fed(dat);
        for (std::size_t k = 0; k < index.size(); k += both_variants_unit)
            if (fed.feed(index.subspan(k, both_variants_unit))) break;
        FUZZ_CHECK(fed.variant() == want, "fed in blocks, the variant differs from the whole-index one");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::AllocationWatch watch(size, 2, 4096);
    auto parsed = ScanIndex::from_bytes(std::span<const std::uint8_t>(data, size));
    watch.check("ScanIndex::from_bytes");
    const std::span<const std::uint8_t> bytes(data, size);
    FUZZ_CHECK(fits_both_variants(size) == (size > 0 && size % 22 == 0 && size % 30 == 0), "fits_both_variants");
    if (fits_both_variants(size)) check_ambiguous(bytes);
    auto by_size = variant_for_size(size);

    if (size % 22 != 0 && size % 30 != 0) {
        FUZZ_CHECK(!parsed && !by_size, "a size that fits neither record must fail");
        const std::string want = "_FUNCnnn.IDX: size " + std::to_string(size) +
                                 " is not a multiple of 22 (Variant A) or 30 (Variant B)";
        FUZZ_CHECK(parsed.status().kind() == StatusKind::Format && parsed.status().message() == want,
                   parsed.status().message());
        FUZZ_CHECK(by_size.status().text() == parsed.status().text(), by_size.status().text());
        return 0;
    }
    FUZZ_CHECK(parsed.ok(), parsed.status().text());
    const ScanIndex& idx = *parsed;
    const bool a = size % 22 == 0;
    FUZZ_CHECK(idx.is_variant_a() == a, "Variant A exactly when the size is a multiple of 22");
    FUZZ_CHECK(by_size.ok() && *by_size == idx.variant(), "variant_for_size and ScanIndex disagree");
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
