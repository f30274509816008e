// _FUNCnnn.IDX scan index: the variant follows from the size alone, and an
// entry locates its scan's bytes inside a DAT file of any size.  Beside a DAT
// file, a size that fits both record sizes is decided from the records: the
// whole-index decision must follow the rule, and a reader that feeds the
// index in blocks and stops once the outcome is settled must agree with it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "common.hpp"
#include "core/format/index.hpp"

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

// The rule for sizes that fit both layouts, read straight: Variant B when
// some 22-byte scan ends past the DAT data and the 30-byte offsets never
// decrease and all lie within it.
IndexLayout model_layout(std::span<const std::uint8_t> index, std::uint64_t dat_size) {
    bool a_impossible = false;
    for (std::size_t k = 0; k < index.size(); k += 22)
        if (a_end(&index[k]) > dat_size) a_impossible = true;
    bool b_consistent = true;
    std::uint64_t previous = 0;
    for (std::size_t k = 0; k < index.size(); k += 30) {
        const std::uint64_t offset = fuzz::u32(&index[k + 22]);
        if (offset < previous || offset > dat_size) b_consistent = false;
        previous = offset;
    }
    return a_impossible && b_consistent ? IndexLayout::B : IndexLayout::A;
}

void check_ambiguous_layout(std::span<const std::uint8_t> index) {
    // The outcome turns where the DAT size crosses the largest 30-byte offset
    // or the furthest end of a 22-byte scan.
    std::uint64_t max_b = 0, max_a_end = 0;
    for (std::size_t k = 0; k < index.size(); k += 30)
        max_b = std::max<std::uint64_t>(max_b, fuzz::u32(&index[k + 22]));
    for (std::size_t k = 0; k < index.size(); k += 22)
        max_a_end = std::max(max_a_end, a_end(&index[k]));
    for (std::uint64_t dat : {std::uint64_t{0}, max_b, max_b + 1, max_a_end - 1, max_a_end,
                              std::numeric_limits<std::uint64_t>::max()}) {
        const IndexLayout want = model_layout(index, dat);
        auto whole = resolve_layout(index, dat);
        FUZZ_CHECK(whole.has_value() && *whole == want, "resolve_layout breaks the rule for a size that fits both");
        // Fed 330 bytes at a time, stopping once settled, as a reader does.
        AmbiguousLayout fed(dat);
        for (std::size_t k = 0; k < index.size(); k += both_layouts_unit)
            if (fed.feed(index.subspan(k, both_layouts_unit))) break;
        FUZZ_CHECK(fed.layout() == want, "fed in blocks, the layout differs from the whole-index one");
    }
}

// Beside a DAT file, every other size follows the size rule alone.
void check_layout(std::span<const std::uint8_t> index) {
    if (fits_both_layouts(index.size())) {
        check_ambiguous_layout(index);
        return;
    }
    auto by_size = layout_for_size(index.size());
    for (std::uint64_t dat : {std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max()}) {
        auto got = resolve_layout(index, dat);
        FUZZ_CHECK(got.has_value() == by_size.has_value(), "resolve_layout and the size rule disagree");
        if (got)
            FUZZ_CHECK(*got == *by_size, "resolve_layout and the size rule disagree");
        else
            FUZZ_CHECK(got.error().message() == by_size.error().message(), got.error().message());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::AllocationWatch watch(size, 2, 4096);
    auto parsed = ScanIndex::from_bytes(std::span<const std::uint8_t>(data, size));
    watch.check("ScanIndex::from_bytes");
    check_layout(std::span<const std::uint8_t>(data, size));

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
