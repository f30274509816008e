// How a read of many scans is cut into chunks: neighbours share a read
// unless the gap between them outweighs what they hold, no chunk reads more
// than chunk_sizes().bytes, a larger scan is streamed on its own, empty
// scans ride along up to max_scans, and a 22-byte-index scan reaching past
// the DAT stops the plan there.  The cases are written in units of the
// sizes, so they hold for the sizes that ship and for the test sizes alike;
// the DAT files are sparse, as the plan never reads them.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/bulk/plan.hpp"
#include "files.hpp"

using namespace tessmoor::core;
using testing::TempDir;

namespace {

using Scans = std::vector<std::uint64_t>;

struct Expected {
    std::size_t p0, p1;
    std::uint64_t lo, hi;
    bool streamed;
    bool operator==(const Chunk& c) const {
        return p0 == c.p0 && p1 == c.p1 && lo == c.lo && hi == c.hi && streamed == c.streamed;
    }
};

std::string show(const std::vector<Chunk>& chunks) {
    std::string out;
    for (const Chunk& c : chunks)
        out += "{" + std::to_string(c.p0) + "," + std::to_string(c.p1) + " " + std::to_string(c.lo) + "-" +
               std::to_string(c.hi) + (c.streamed ? " streamed" : "") + "} ";
    return out;
}

// What every plan must be: chunks in selection order covering [0, end), each
// reading its scans' bytes within the size limit, or one streamed scan.
void check_shape(const Plan& plan, std::span<const std::uint64_t> scans) {
    const ChunkSizes& sizes = chunk_sizes();
    CHECK_EQ(plan.slots.size(), scans.size());
    std::size_t next = 0;
    for (const Chunk& c : plan.chunks) {
        CHECK(c.p0 == next && c.p1 > c.p0);
        next = c.p1;
        if (c.streamed) {
            CHECK(c.p1 == c.p0 + 1 && plan.slots[c.p0].len > sizes.bytes);
            continue;
        }
        CHECK(c.hi - c.lo <= sizes.bytes && c.p1 - c.p0 <= sizes.max_scans);
        for (std::size_t p = c.p0; p < c.p1; ++p) {
            const Slot& s = plan.slots[p];
            if (s.len > 0) CHECK(s.start >= c.lo && s.start + s.len <= c.hi);
        }
    }
    CHECK_EQ(next, plan.end);
}

// Function 1 with a 30-byte index whose scans have these byte lengths, laid
// end to end (a scan runs to the next one's offset: 0 is an empty scan).
Plan plan_b(const std::vector<std::uint64_t>& lengths, const Scans& scans) {
    TempDir dir;
    Bytes idx;
    std::uint64_t offset = 0;
    for (const std::uint64_t len : lengths) {
        testing::add_record_b(idx, static_cast<std::uint32_t>(offset), 1.0f);
        offset += len;
    }
    testing::write_file(dir / "_FUNC001.IDX", idx);
    testing::write_file(dir / "_FUNC001.DAT", {}, offset);
    const Run run = testing::run_at(dir.path());
    auto f = FunctionReader::open(run, 1, FunctionReader::Purpose::Spectra);
    if (!f || !f->load_index().ok()) throw std::runtime_error("cannot open the function");
    Plan plan = plan_chunks(*f, scans);
    check_shape(plan, scans);
    return plan;
}

Scans all_of(std::size_t n) {
    Scans s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = i;
    return s;
}

}  // namespace

TEST(plan_chunks_by_size_and_gap) {
    const ChunkSizes& sizes = chunk_sizes();
    const std::uint64_t b = sizes.bytes, g = sizes.gap_allowance;
    // A scan an eighth of a chunk: eight fill one, unless fewer scans may.
    const std::uint64_t k = b / 8;
    const std::size_t per = std::min<std::size_t>(8, sizes.max_scans);
    const struct {
        const char* what;
        std::vector<std::uint64_t> lengths;
        Scans scans;
        std::vector<Expected> want;
    } rows[] = {
        {"neighbours share a read", {k, k, k}, all_of(3), {{0, 3, 0, 3 * k, false}}},
        {"backwards too", {k, k, k}, {2, 1, 0}, {{0, 3, 0, 3 * k, false}}},
        {"a small gap is read through", {k, g, k}, {0, 2}, {{0, 2, 0, 2 * k + g, false}}},
        // Reading across would read more than twice what the scans hold,
        // beyond the allowance, though the whole would fit in a chunk.
        {"a wide gap splits", {k, 2 * k + g + 8, k}, {0, 2},
         {{0, 1, 0, k, false}, {1, 2, 3 * k + g + 8, 4 * k + g + 8, false}}},
        {"a chunk reads at most its size", std::vector<std::uint64_t>(per + 1, k), all_of(per + 1),
         {{0, per, 0, per * k, false}, {per, per + 1, per * k, (per + 1) * k, false}}},
        {"a larger scan is streamed alone", {k, b + 8, k}, all_of(3),
         {{0, 1, 0, k, false}, {1, 2, k, k + b + 8, true}, {2, 3, k + b + 8, 2 * k + b + 8, false}}},
        // An empty scan's position lies in no read.
        {"empty scans ride along", {k, 0, k}, all_of(3), {{0, 3, 0, 2 * k, false}}},
        {"no scans", {k}, {}, {}},
    };
    for (const auto& row : rows) {
        SCOPE(row.what);
        const Plan plan = plan_b(row.lengths, row.scans);
        CHECK(plan.stop.ok());
        CHECK_EQ(plan.end, row.scans.size());
        const bool same = plan.chunks.size() == row.want.size() &&
                          std::equal(row.want.begin(), row.want.end(), plan.chunks.begin());
        CHECK_EQ(same ? std::string() : show(plan.chunks), std::string());
    }
}

TEST(plan_chunks_of_empty_scans_end_somewhere) {
    // Scans without bytes cost no read, but a chunk still ends after
    // max_scans of them.
    const std::size_t m = chunk_sizes().max_scans;
    const Plan plan = plan_b(std::vector<std::uint64_t>(m + 1, 0), all_of(m + 1));
    CHECK_EQ(plan.chunks.size(), std::size_t{2});
    if (plan.chunks.size() == 2) CHECK(plan.chunks[0].p1 == m && plan.chunks[1].p1 == m + 1);
}

TEST(plan_stops_at_a_scan_past_the_dat) {
    // 22-byte index: scans of 2 records at 0, 12 and 24; scan 2 claims 5
    // records, 18 bytes more than the DAT holds.
    TempDir dir;
    Bytes idx;
    testing::add_record_a(idx, 0, 2, 0.1f);
    testing::add_record_a(idx, 12, 2, 0.2f);
    testing::add_record_a(idx, 24, 5, 0.3f);
    testing::add_record_a(idx, 24, 2, 0.4f);
    testing::write_file(dir / "_FUNC001.IDX", idx);
    testing::write_file(dir / "_FUNC001.DAT", {}, 36);
    const Run run = testing::run_at(dir.path());
    auto f = FunctionReader::open(run, 1, FunctionReader::Purpose::Spectra);
    CHECK(f.ok() && f->load_index().ok());
    if (!f) return;
    const Scans scans = {1, 0, 2, 3};
    const Plan plan = plan_chunks(*f, scans);
    check_shape(plan, scans);
    // Positions before the bad scan are planned; it fails the read, named
    // by its scan number, unless an earlier scan fails first.
    CHECK_EQ(plan.end, std::size_t{2});
    CHECK(failed_with(plan.stop, StatusKind::ScanOutOfBounds));
    if (plan.stop.ok()) return;
    CHECK_EQ(plan.stop.context_text(),
             (dir / "_FUNC001.DAT") + ": function 1, scan 2: scan offset out of DAT bounds");
}
