#include "core/bulk/selection.hpp"

#include <utility>

namespace tessmoor::core {

namespace {

// Python's slice.indices(n): the first index, and how many indices follow
// in steps of `step`.
std::pair<std::int64_t, std::uint64_t> slice_indices(const ScanSlice& s, std::int64_t n) {
    const std::int64_t step = s.step;
    auto clamp = [&](std::optional<std::int64_t> v, std::int64_t absent) {
        if (!v) return absent;
        std::int64_t i = *v;
        if (i < 0) {
            i += n;
            if (i < 0) i = step < 0 ? -1 : 0;
        } else if (i >= n) {
            i = step < 0 ? n - 1 : n;
        }
        return i;
    };
    const std::int64_t start = clamp(s.start, step < 0 ? n - 1 : 0);
    const std::int64_t stop = clamp(s.stop, step < 0 ? -1 : n);
    std::uint64_t count = 0;
    if (step > 0 && start < stop)
        count = static_cast<std::uint64_t>((stop - start - 1) / step + 1);
    else if (step < 0 && stop < start)
        // The step's magnitude as an unsigned: -step overflows at INT64_MIN,
        // which Python passes on as it is.
        count = static_cast<std::uint64_t>(start - stop - 1) / (0 - static_cast<std::uint64_t>(step)) + 1;
    return {start, count};
}

}  // namespace

Result<std::vector<std::uint64_t>> select_scans(const FunctionReader& f, const ScanSelection& selection) {
    const std::uint64_t n = f.scan_count();
    std::vector<std::uint64_t> scans;
    if (selection.picks) {
        scans.reserve(selection.picks->size());
        for (const std::int64_t pick : *selection.picks) {
            const bool negative = pick < 0;
            // The magnitude of a negative pick, without overflow at INT64_MIN.
            const std::uint64_t magnitude =
                negative ? ~static_cast<std::uint64_t>(pick) + 1 : static_cast<std::uint64_t>(pick);
            TESSMOOR_ASSIGN_OR_RETURN(const std::uint64_t scan, f.scan_number(magnitude, negative));
            scans.push_back(scan);
        }
    } else if (selection.slice && selection.slice->step != 0) {
        // The scan count of a real index is far below 2^63.
        const auto [start, count] = slice_indices(*selection.slice, static_cast<std::int64_t>(n));
        scans.resize(count);
        for (std::uint64_t k = 0; k < count; ++k)
            scans[k] = static_cast<std::uint64_t>(start + static_cast<std::int64_t>(k) * selection.slice->step);
    } else {
        scans.resize(n);
        for (std::uint64_t i = 0; i < n; ++i) scans[i] = i;
    }
    if (selection.rt) {
        std::erase_if(scans, [&](std::uint64_t i) { return !selection.rt->contains(f.rt_min(i)); });
    }
    return scans;
}

std::vector<std::size_t> batch_bounds(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                      Encoding encoding, std::uint64_t max_scans, std::uint64_t max_peaks) {
    std::vector<std::size_t> bounds{0};
    std::uint64_t peaks = 0;
    for (std::size_t p = 0; p < scans.size(); ++p) {
        const ScanRange r = f.range(scans[p]);
        const std::uint64_t most = r.kind == ScanRange::Kind::Bytes ? core::max_peaks(encoding, r.end - r.start) : 0;
        const std::size_t held = p - bounds.back();
        if (held > 0 && (held >= max_scans || peaks + most > max_peaks)) {
            bounds.push_back(p);
            peaks = 0;
        }
        peaks += most;
    }
    if (bounds.back() != scans.size()) bounds.push_back(scans.size());
    return bounds;
}

}  // namespace tessmoor::core
