#include "core/format/index.hpp"

#include <string>

#include "core/format/le.hpp"

namespace tessmoor::core {

ScanEntryA parse_entry_a(const std::uint8_t* r) noexcept {
    // Bytes 6-11 and 18-21 are not interpreted; point_count is the low word
    // of the 32-bit field at offset 4.
    return ScanEntryA{le::u32(r), le::f32(r + 12), le::u16(r + 4), le::u16(r + 16)};
}

ScanEntryB parse_entry_b(const std::uint8_t* r) noexcept {
    return ScanEntryB{le::u32(r + 22), le::f32(r + 12)};
}

Result<IndexVariant> variant_for_size(std::uint64_t n) {
    // Variant A is tested first, so sizes that fit both layouts (0, 330,
    // 660, ...) are Variant A.
    if (n % VariantA::record_size == 0) return IndexVariant::A;
    if (n % VariantB::record_size == 0) return IndexVariant::B;
    return Status::format("_FUNCnnn.IDX: size " + std::to_string(n) +
                        " is not a multiple of 22 (Variant A) or 30 (Variant B)");
}

bool AmbiguousIndex::feed(std::span<const std::uint8_t> block) noexcept {
    if (b_inconsistent_) return true;
    const std::uint8_t* const p = block.data();
    const std::size_t n = block.size();
    // Locals, not members, in the loops: the bytes read through `p` may
    // alias a member, which would then be reloaded and stored at every record.
    const std::uint64_t dat_size = dat_size_;
    std::uint64_t last = last_b_offset_;
    for (std::size_t k = 0; k + VariantB::record_size <= n; k += VariantB::record_size) {
        const std::uint64_t offset = parse_entry_b(p + k).offset;
        if (offset < last || offset > dat_size) {
            b_inconsistent_ = true;
            return true;
        }
        last = offset;
    }
    last_b_offset_ = last;
    bool impossible = a_impossible_;
    for (std::size_t k = 0; !impossible && k + VariantA::record_size <= n; k += VariantA::record_size)
        impossible = scan_range_a(parse_entry_a(p + k), dat_size).kind == ScanRange::Kind::OutOfBounds;
    a_impossible_ = impossible;
    return false;
}

VariantA parse_variant_a(std::span<const std::uint8_t> bytes) {
    VariantA out;
    const std::size_t count = bytes.size() / VariantA::record_size;
    out.entries.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        out.entries.push_back(parse_entry_a(bytes.data() + k * VariantA::record_size));
    return out;
}

VariantB parse_variant_b(std::span<const std::uint8_t> bytes) {
    VariantB out;
    const std::size_t count = bytes.size() / VariantB::record_size;
    out.entries.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        out.entries.push_back(parse_entry_b(bytes.data() + k * VariantB::record_size));
    return out;
}

Result<ScanIndex> ScanIndex::from_bytes(std::span<const std::uint8_t> bytes) {
    TESSMOOR_ASSIGN_OR_RETURN(const IndexVariant variant, variant_for_size(bytes.size()));
    if (variant == IndexVariant::A) return ScanIndex(parse_variant_a(bytes));
    return ScanIndex(parse_variant_b(bytes));
}

std::size_t ScanIndex::size() const noexcept {
    return is_variant_a() ? variant_a().entries.size() : variant_b().entries.size();
}

double ScanIndex::rt_min(std::size_t i) const {
    return is_variant_a() ? static_cast<double>(variant_a().entries[i].rt_min)
                          : static_cast<double>(variant_b().entries[i].rt_min);
}

ScanRange scan_range_a(const ScanEntryA& e, std::uint64_t dat_size) noexcept {
    const std::uint64_t start = e.offset;
    const std::uint64_t end = start + 6u * static_cast<std::uint64_t>(e.point_count);
    if (end > dat_size) return {ScanRange::Kind::OutOfBounds, start, end};
    return {ScanRange::Kind::Bytes, start, end};
}

ScanRange scan_range_b(std::uint32_t offset, const std::uint32_t* next_offset,
                       std::uint64_t dat_size) noexcept {
    const std::uint64_t start = offset;
    if (next_offset) {
        const std::uint64_t next = *next_offset;
        if (next <= start || next > dat_size) return {ScanRange::Kind::Empty, 0, 0};
        return {ScanRange::Kind::Bytes, start, next};
    }
    if (dat_size <= start) return {ScanRange::Kind::Empty, 0, 0};
    return {ScanRange::Kind::Bytes, start, dat_size};
}

ScanRange ScanIndex::byte_range(std::size_t i, std::uint64_t dat_size) const {
    if (is_variant_a()) return scan_range_a(variant_a().entries[i], dat_size);
    const auto& e = variant_b().entries;
    const std::uint32_t* next = i + 1 < e.size() ? &e[i + 1].offset : nullptr;
    return scan_range_b(e[i].offset, next, dat_size);
}

}  // namespace tessmoor::core
