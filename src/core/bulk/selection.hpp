// Which scans a read covers, and in how many batches.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/access/function_reader.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

// A closed interval [lo, hi]; a NaN value lies in none.
struct Window {
    double lo = 0.0;
    double hi = 0.0;
    bool contains(double v) const noexcept { return v >= lo && v <= hi; }
};

// A slice of the scans, as Python writes one: start and stop absent or
// counting from the end when negative, clamped to the scans there are; a
// step that is not zero.
struct ScanSlice {
    std::optional<std::int64_t> start;
    std::optional<std::int64_t> stop;
    std::int64_t step = 1;
};

// Which scans a bulk read covers, in output order: explicit scan numbers
// (negative ones count from the end), a slice, or (neither) every scan; of
// these, only those whose retention time lies in `rt` when it is given.
struct ScanSelection {
    std::optional<std::span<const std::int64_t>> picks;
    std::optional<ScanSlice> slice;
    std::optional<Window> rt;
    // Leave out the scans a read would fail on, and say which (check.hpp),
    // rather than fail on the first.
    bool skip_bad = false;
};

// The scan numbers of a selection, from the function's loaded index;
// ScanOutOfRange for a pick outside the function.
Result<std::vector<std::uint64_t>> select_scans(const FunctionReader& f, const ScanSelection& selection);

// Where batches of at most `max_scans` scans and at most `max_peaks` peaks
// each begin, for reads of bounded memory; the last entry is scans.size().
// A scan's peaks are counted as the most its bytes can hold in the reading
// `encoding`; a scan larger than max_peaks makes a batch of its own.
std::vector<std::size_t> batch_bounds(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                      Encoding encoding, std::uint64_t max_scans, std::uint64_t max_peaks);

}  // namespace tessmoor::core
