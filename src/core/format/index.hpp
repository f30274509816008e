// _FUNCnnn.IDX: the scan index of one function, in one of two layouts.
//   Variant A: 22-byte records (offset, point count, retention time); the
//              scans are Encoding A records of 6 bytes.
//   Variant B: 30-byte records (retention time, offset); the scans are runs
//              of 8-byte records ending where the next scan starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "core/status.hpp"

namespace tessmoor::core {

struct ScanEntryA {
    std::uint32_t offset = 0;
    float rt_min = 0.0f;
    std::uint16_t point_count = 0;
    std::uint16_t word16 = 0;
};

struct ScanEntryB {
    std::uint32_t offset = 0;
    float rt_min = 0.0f;
};

struct VariantA {
    static constexpr std::size_t record_size = 22;
    std::vector<ScanEntryA> entries;
};

struct VariantB {
    static constexpr std::size_t record_size = 30;
    std::vector<ScanEntryB> entries;
};

// Which of the two layouts an index has.
enum class IndexVariant : std::uint8_t { A, B };

constexpr std::size_t record_size(IndexVariant v) noexcept {
    return v == IndexVariant::A ? VariantA::record_size : VariantB::record_size;
}

// Where a scan's bytes lie in a DAT file of a given size.
struct ScanRange {
    enum class Kind : std::uint8_t {
        Bytes,        // DAT[start, end), possibly empty for Variant A
        Empty,        // Variant B: no bytes, an empty spectrum, no error
        OutOfBounds,  // Variant A: the records reach past the end of the file
    };
    Kind kind = Kind::Empty;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

ScanEntryA parse_entry_a(const std::uint8_t* record) noexcept;  // 22 bytes
ScanEntryB parse_entry_b(const std::uint8_t* record) noexcept;  // 30 bytes

// Variant A for a size that is a multiple of 22 (0 included), else Variant B
// for a multiple of 30, else the size message.
Result<IndexVariant> variant_for_size(std::uint64_t n);

// A positive multiple of 330 bytes holds whole records of either layout, and
// the size rule alone reads it as Variant A: a Variant B index of 11k scans
// would be misread, silently.  Such an index is therefore Variant B when, and
// only when, its 30-byte reading is consistent (offsets never decrease and
// none lies past the DAT data) and its 22-byte reading is impossible (some
// scan ends past the DAT data).
constexpr std::uint64_t both_variants_unit = 330;
constexpr bool fits_both_variants(std::uint64_t n) noexcept {
    return n > 0 && n % both_variants_unit == 0;
}

// Applies that rule to an index fed from its start in blocks, so that a
// reader can stop early.  Read as 30-byte records, a real Variant A index
// turns inconsistent within a few records, and after that nothing in the
// rest of the index can change the outcome.  Each block is tested
// first as 30-byte records; the 22-byte reading of a block is looked at only
// while the 30-byte reading holds, and only until an impossible scan is seen.
class AmbiguousIndex {
public:
    explicit AmbiguousIndex(std::uint64_t dat_size) noexcept : dat_size_(dat_size) {}

    // The next bytes of the index, a multiple of both_variants_unit.  Returns
    // true once the outcome is settled and the rest need not be read.
    bool feed(std::span<const std::uint8_t> block) noexcept;

    // The outcome, once feed() returned true or the whole index was fed.
    IndexVariant variant() const noexcept {
        return !b_inconsistent_ && a_impossible_ ? IndexVariant::B : IndexVariant::A;
    }

private:
    std::uint64_t dat_size_;
    std::uint64_t last_b_offset_ = 0;
    bool b_inconsistent_ = false;
    bool a_impossible_ = false;
};


// Parses a whole index whose size is a multiple of 22.
VariantA parse_variant_a(std::span<const std::uint8_t> bytes);
// Parses a whole index whose size is a multiple of 30.
VariantB parse_variant_b(std::span<const std::uint8_t> bytes);

// Variant A scan range: [offset, offset + 6 * point_count) when it ends within
// the file, else OutOfBounds.
ScanRange scan_range_a(const ScanEntryA& e, std::uint64_t dat_size) noexcept;
// Variant B scan range: from this entry's offset to the next one's (or to the
// end of the file for the last entry); anything but a forward range inside
// the file is Empty.
ScanRange scan_range_b(std::uint32_t offset, const std::uint32_t* next_offset,
                       std::uint64_t dat_size) noexcept;

class ScanIndex {
public:
    static Result<ScanIndex> from_bytes(std::span<const std::uint8_t> bytes);

    explicit ScanIndex(VariantA a) : v_(std::move(a)) {}
    explicit ScanIndex(VariantB b) : v_(std::move(b)) {}

    bool is_variant_a() const noexcept { return v_.index() == 0; }
    IndexVariant variant() const noexcept { return is_variant_a() ? IndexVariant::A : IndexVariant::B; }
    const VariantA& variant_a() const { return std::get<0>(v_); }
    const VariantB& variant_b() const { return std::get<1>(v_); }

    std::size_t size() const noexcept;
    // Widened exactly; i must be below size().
    double rt_min(std::size_t i) const;
    // i must be below size().
    ScanRange byte_range(std::size_t i, std::uint64_t dat_size) const;

private:
    std::variant<VariantA, VariantB> v_;
};

}  // namespace tessmoor::core
