// How a read of many scans meets the DAT: the selected scans cut into
// chunks of neighbouring bytes, each read with one pread and decoded by one
// thread, and a thread's view of its chunk.
//
// Scans are planned from the loaded index alone: where each one's bytes lie
// (a scan of a 22-byte index that reaches past the end of the DAT stops the
// plan there), and which neighbours share a read.  A scan larger than a
// chunk is streamed: read in pieces of whole records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/access/function_reader.hpp"
#include "core/decode/records.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

// The sizes that cut reads into chunks.  The fuzz and ThreadSanitizer
// builds (TESSMOOR_TEST_CHUNKS) use chunks of a few records, so that their
// runs of a few kilobytes take the paths a run of gigabytes takes.
struct ChunkSizes {
    std::uint64_t bytes;         // DAT bytes read and decoded as one unit
    std::size_t max_scans;       // chunks of empty scans still end somewhere
    std::uint64_t gap_allowance;  // unread bytes neighbours may share a read across
};
const ChunkSizes& chunk_sizes() noexcept;

struct Slot {
    std::uint64_t start = 0;
    std::uint64_t len = 0;
};

struct Chunk {
    std::size_t p0 = 0, p1 = 0;    // positions in the selection
    std::uint64_t lo = 0, hi = 0;  // DAT bytes read for them (lo == hi: none)
    bool streamed = false;         // one scan larger than a chunk, read in pieces
};

struct Plan {
    std::vector<Slot> slots;
    std::vector<Chunk> chunks;
    // Positions from `end` on are not read: the scan at `end` reaches past
    // the DAT data, which fails the read (`stop`) unless an earlier scan
    // fails first.
    std::size_t end = 0;
    Status stop;
};

Plan plan_chunks(const FunctionReader& f, std::span<const std::uint64_t> scans);

// The read this plan serves.
struct PlannedRead {
    const FunctionReader& f;
    std::span<const std::uint64_t> scans;
    const Plan& plan;
    Encoding encoding;
};

// A thread's view of one chunk: its bytes read once, and each scan's checks
// made (plan_scan).  Reused from chunk to chunk by one thread.
class ChunkView {
public:
    // Reads the chunk and checks its scans; the first failure names its scan.
    Status load(const PlannedRead& r, const Chunk& chunk);

    const ScanPlan& plan(std::size_t p) const { return plans_[p - chunk_->p0]; }

    // Hands the records of the scan at position p to `sink` (records.hpp).
    template <class Sink>
    Status visit(const PlannedRead& r, std::size_t p, Sink& sink) {
        const ScanPlan& sp = plan(p);
        if (sp.empty()) return Status::OK();
        const Slot& s = r.plan.slots[p];
        const std::size_t rs = record_size(sp.encoding);
        if (!chunk_->streamed) {
            visit_scan(sp, r.f.calibration(), bytes_.data() + (s.start - chunk_->lo), sink);
            return Status::OK();
        }
        const std::uint64_t piece = chunk_sizes().bytes / rs * rs;
        for (std::uint64_t k = sp.first * rs; k < sp.records * rs; k += piece) {
            const std::uint64_t len = std::min<std::uint64_t>(piece, sp.records * rs - k);
            buffer_.resize(static_cast<std::size_t>(len));
            auto got = r.f.read(s.start + k, buffer_);
            if (!got) return std::move(got).status();
            visit_records(sp, r.f.calibration(), got->data(), static_cast<std::size_t>(len / rs), sink);
        }
        return Status::OK();
    }

private:
    Status plan_at(const PlannedRead& r, std::size_t p);

    const Chunk* chunk_ = nullptr;
    Bytes buffer_;
    std::span<const std::uint8_t> bytes_;
    std::vector<ScanPlan> plans_;
    std::uint8_t ends_[16] = {};
};

}  // namespace tessmoor::core
