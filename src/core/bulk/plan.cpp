#include "core/bulk/plan.hpp"

#include <algorithm>

namespace tessmoor::core {

const ChunkSizes& chunk_sizes() noexcept {
#ifndef TESSMOOR_TEST_CHUNKS
    // Small enough to stay in the caches between counting and decoding,
    // large enough that a read costs little beside its decoding; neighbours
    // share a read when the gaps between them stay small against the bytes
    // they hold.
    static constexpr ChunkSizes sizes{std::uint64_t{2} << 20, 8192, std::uint64_t{64} << 10};
#else
    static constexpr ChunkSizes sizes{64, 4, 16};
#endif
    return sizes;
}

Plan plan_chunks(const FunctionReader& f, std::span<const std::uint64_t> scans) {
    const ChunkSizes& sizes = chunk_sizes();
    Plan plan;
    plan.slots.resize(scans.size());
    plan.end = scans.size();
    for (std::size_t p = 0; p < scans.size(); ++p) {
        const ScanRange r = f.range(scans[p]);
        if (r.kind == ScanRange::Kind::OutOfBounds) {
            plan.end = p;
            plan.stop = Status::scan_out_of_bounds()
                            .in_file(f.dat_path(), FileRole::Data)
                            .in_function(f.func())
                            .at_scan(scans[p]);
            break;
        }
        if (r.kind == ScanRange::Kind::Bytes) plan.slots[p] = Slot{r.start, r.end - r.start};
    }

    Chunk cur;
    std::uint64_t held = 0;  // bytes of the scans in cur
    bool open = false;
    auto close = [&] {
        if (open) plan.chunks.push_back(cur);
        open = false;
    };
    for (std::size_t p = 0; p < plan.end; ++p) {
        const Slot s = plan.slots[p];
        if (s.len > sizes.bytes) {
            close();
            plan.chunks.push_back(Chunk{p, p + 1, s.start, s.start + s.len, true});
            continue;
        }
        if (open && cur.p1 - cur.p0 < sizes.max_scans) {
            if (s.len == 0) {
                cur.p1 = p + 1;
                continue;
            }
            const bool has_bytes = cur.hi > cur.lo;
            const std::uint64_t lo = has_bytes ? std::min(cur.lo, s.start) : s.start;
            const std::uint64_t hi = has_bytes ? std::max(cur.hi, s.start + s.len) : s.start + s.len;
            // A chunk's reads and its decoding both stay within a chunk's
            // bytes: scans whose ranges overlap (a 22-byte index may say so)
            // share a read, but each is decoded, and a chunk is also the
            // unit of work after which an interrupted call stops.
            if (hi - lo <= sizes.bytes && held + s.len <= sizes.bytes &&
                hi - lo <= 2 * (held + s.len) + sizes.gap_allowance) {
                cur.p1 = p + 1;
                cur.lo = lo;
                cur.hi = hi;
                held += s.len;
                continue;
            }
        }
        close();
        cur = Chunk{p, p + 1, s.start, s.start + s.len, false};
        held = s.len;
        open = true;
    }
    close();
    return plan;
}

Status ChunkView::load(const PlannedRead& r, const Chunk& chunk) {
    chunk_ = &chunk;
    plans_.clear();
    bytes_ = {};
    if (!chunk.streamed && chunk.hi > chunk.lo) {
        buffer_.resize(static_cast<std::size_t>(chunk.hi - chunk.lo));
        auto got = r.f.read(chunk.lo, buffer_);
        if (!got) return std::move(got).status();
        bytes_ = *got;
    }
    for (std::size_t p = chunk.p0; p < chunk.p1; ++p) TESSMOOR_RETURN_IF_ERROR(plan_at(r, p));
    return Status::OK();
}

Status ChunkView::plan_at(const PlannedRead& r, std::size_t p) {
    const Slot& s = r.plan.slots[p];
    const std::size_t rs = record_size(r.encoding);
    const std::uint8_t* first = nullptr;
    const std::uint8_t* last = nullptr;
    if (s.len == 0) {
        // Nothing to read: the plan is an empty scan's.
    } else if (!chunk_->streamed) {
        first = bytes_.data() + (s.start - chunk_->lo);
        last = s.len >= rs ? first + s.len - rs : first;
    } else if (s.len % rs == 0) {
        // The checks need the first and last records only.
        auto head = r.f.read(s.start, std::span<std::uint8_t>(ends_, rs));
        if (!head) return std::move(head).status();
        auto tail = r.f.read(s.start + s.len - rs, std::span<std::uint8_t>(ends_ + rs, rs));
        if (!tail) return std::move(tail).status();
        first = head->data();
        last = tail->data();
    }
    auto planned = plan_scan(r.encoding, s.len, first, last, r.f.calibration());
    if (!planned)
        return std::move(planned).status().in_file(r.f.dat_path(), FileRole::Data).in_function(r.f.func()).at_scan(r.scans[p]);
    plans_.push_back(*planned);
    return Status::OK();
}

}  // namespace tessmoor::core
