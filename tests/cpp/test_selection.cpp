// Which scans a bulk read covers: Python's slice semantics (clamping,
// negative starts and steps, steps of INT64_MIN), picks counted from the end,
// retention-time windows, and batches of bounded scans and peaks.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/bulk/selection.hpp"
#include "files.hpp"

using namespace tessmoor::core;
using testing::TempDir;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
using Scans = std::vector<std::uint64_t>;

// Function 1 with a 22-byte index: scan i has record_counts[i] 6-byte
// records (0: no bytes) and retention time rts[i]; its index loaded.
struct Function {
    TempDir dir;
    Run run;
    std::optional<FunctionReader> reader;

    Function(const std::vector<float>& rts, const std::vector<std::uint16_t>& record_counts) : run(testing::run_at(dir.path())) {
        Bytes idx;
        std::uint32_t offset = 0;
        for (std::size_t i = 0; i < rts.size(); ++i) {
            const std::uint16_t n = i < record_counts.size() ? record_counts[i] : 0;
            testing::add_record_a(idx, offset, n, rts[i]);
            offset += 6u * n;
        }
        testing::write_file(dir / "_FUNC001.IDX", idx);
        testing::write_file(dir / "_FUNC001.DAT", {}, offset);
        auto f = FunctionReader::open(run, 1, FunctionReader::Purpose::Spectra);
        if (!f) throw std::runtime_error(f.status().context_text());
        reader.emplace(std::move(f).value());
        if (!reader->load_index().ok()) throw std::runtime_error("load_index");
    }
    Result<Scans> select(const ScanSelection& s) const { return select_scans(*reader, s); }
};

std::vector<float> ten_rts() {
    std::vector<float> rts;
    for (int i = 0; i < 10; ++i) rts.push_back(0.5f * static_cast<float>(i));
    return rts;
}

std::string show(std::optional<std::int64_t> v) { return v ? std::to_string(*v) : "None"; }

}  // namespace

TEST(selection_slices_as_python) {
    const Function f(ten_rts(), {});
    const std::nullopt_t none = std::nullopt;
    struct Row {
        std::optional<std::int64_t> start, stop;
        std::int64_t step;
        Scans want;  // list(range(10))[start:stop:step]
    };
    const Row rows[] = {
        {none, none, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {2, 8, 3, {2, 5}},
        {-3, none, 1, {7, 8, 9}},
        {none, -8, 1, {0, 1}},
        {none, none, -1, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
        {8, 2, -2, {8, 6, 4}},
        {-2, -5, -1, {8, 7, 6}},
        {-100, 100, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {100, -100, -4, {9, 5, 1}},
        {kMin, kMax, 4, {0, 4, 8}},
        {kMax, kMin, -3, {9, 6, 3, 0}},
        {none, none, kMax, {0}},
        {none, none, kMin, {9}},
        {3, none, kMin, {3}},
        {-1, none, -kMax, {9}},
        {5, 5, 1, {}},
        {0, 10, -1, {}},
        {10, none, 1, {}},
        {none, -11, -1, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
        {-11, none, -1, {}},
    };
    for (const Row& row : rows) {
        SCOPE("[" + show(row.start) + ":" + show(row.stop) + ":" + std::to_string(row.step) + "]");
        ScanSelection s;
        s.slice = ScanSlice{row.start, row.stop, row.step};
        const auto got = f.select(s);
        CHECK(got.ok());
        if (got.ok()) CHECK_EQ(*got, row.want);
    }
    // No scans at all: every slice is empty.
    const Function empty({}, {});
    for (const std::int64_t step : {std::int64_t{1}, std::int64_t{-1}, kMin}) {
        ScanSelection s;
        s.slice = ScanSlice{std::nullopt, std::nullopt, step};
        const auto got = empty.select(s);
        CHECK(got.ok() && got->empty());
    }
}

TEST(selection_picks_count_from_the_end) {
    const Function f(ten_rts(), {});
    const std::vector<std::int64_t> good = {0, -1, 3, -10, 3};
    ScanSelection s;
    s.picks = good;
    const auto got = f.select(s);
    CHECK(got.ok() && *got == (Scans{0, 9, 3, 0, 3}));

    // The first pick outside the scans fails the selection, named as a
    // one-scan read names it.
    const std::string idx = f.dir / "_FUNC001.IDX";
    const struct {
        std::vector<std::int64_t> picks;
        std::string text;
    } bad[] = {
        {{1, 10, -20}, "scan 10 out of range"},
        {{-11}, "scan -11 out of range"},
        {{kMin}, "scan -9223372036854775808 out of range"},
        {{kMax}, "scan 9223372036854775807 out of range"},
    };
    for (const auto& row : bad) {
        SCOPE(row.text);
        ScanSelection b;
        b.picks = row.picks;
        const auto failed = f.select(b);
        CHECK(failed_with(failed, StatusKind::ScanOutOfRange));
        if (failed.ok()) continue;
        CHECK_EQ(failed.status().text(), row.text);
        CHECK_EQ(failed.status().file(), idx);
        CHECK(failed.status().func() == std::optional<std::uint32_t>(1));
    }
}

TEST(selection_retention_time_window) {
    std::vector<float> rts = ten_rts();
    rts[3] = std::nanf("");
    const Function f(rts, {});
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    const std::vector<std::int64_t> picks = {4, 2, 4, 9, 3};
    const struct {
        const char* what;
        Window rt;
        std::optional<ScanSlice> slice;
        bool use_picks;
        Scans want;
    } rows[] = {
        // A closed interval, in selection order; a NaN time lies in none.
        {"[1, 2]", {1.0, 2.0}, std::nullopt, false, {2, 4}},
        {"everything", {-inf, inf}, std::nullopt, false, {0, 1, 2, 4, 5, 6, 7, 8, 9}},
        {"reversed", {1.0, 2.5}, ScanSlice{std::nullopt, std::nullopt, -1}, false, {5, 4, 2}},
        {"picks keep order and repeats", {1.0, 2.0}, std::nullopt, true, {4, 2, 4}},
        {"inverted", {2.0, 1.0}, std::nullopt, false, {}},
        {"NaN bound", {nan, 10.0}, std::nullopt, false, {}},
    };
    for (const auto& row : rows) {
        SCOPE(row.what);
        ScanSelection s;
        s.rt = row.rt;
        s.slice = row.slice;
        if (row.use_picks) s.picks = picks;
        const auto got = f.select(s);
        CHECK(got.ok());
        if (got.ok()) CHECK_EQ(*got, row.want);
    }
}

TEST(selection_batch_bounds) {
    // 6-byte records 3, 5, 0, 10, 2, 1 hold at most 2, 4, 0, 9, 1, 0 peaks
    // (the sentinel is none).
    const Function f(ten_rts(), {3, 5, 0, 10, 2, 1});
    const Scans first6 = {0, 1, 2, 3, 4, 5};
    const struct {
        const char* what;
        Scans scans;
        std::uint64_t max_scans, max_peaks;
        std::vector<std::size_t> want;
    } rows[] = {
        {"unlimited", first6, 100, 1000, {0, 6}},
        {"two scans each", first6, 2, 1000, {0, 2, 4, 6}},
        // A scan over the peak limit makes a batch of its own; empty ones join.
        {"four peaks each", first6, 100, 4, {0, 1, 3, 4, 6}},
        {"no peaks", first6, 100, 0, {0, 1, 2, 3, 4, 5, 6}},
        {"selection order", {3, 0, 1}, 100, 6, {0, 1, 3}},
        {"one scan", {3}, 1, 0, {0, 1}},
    };
    for (const auto& row : rows) {
        SCOPE(row.what);
        CHECK_EQ(batch_bounds(*f.reader, row.scans, Encoding::A, row.max_scans, row.max_peaks), row.want);
    }
}
