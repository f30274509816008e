#include "core/bulk/check.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "core/bulk/plan.hpp"
#include "core/decode/records.hpp"

namespace tessmoor::core {

namespace {

// Scans looked at per unit of work.
constexpr std::size_t scans_per_block = 4096;

// The lowest and highest m/z of a scan's peaks, and its longest drift time.
struct ExtentSink {
    static constexpr bool eager_mz = true;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    double drift = -std::numeric_limits<double>::infinity();
    bool with_drift = false;

    template <class Mz, class Drift>
    void operator()(float, const Mz& mz_of, const Drift& drift_of) {
        const double m = mz_of();
        // A NaN m/z compares false both ways and so counts as out of range.
        if (!(m >= lo)) lo = std::isnan(m) ? -std::numeric_limits<double>::infinity() : m;
        if (!(m <= hi)) hi = std::isnan(m) ? std::numeric_limits<double>::infinity() : m;
        if (with_drift) drift = std::max(drift, drift_of());
    }
};

std::string number_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

}  // namespace

Result<std::vector<BadScan>> find_bad_scans(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                            Encoding encoding, unsigned threads, const Interrupt* interrupt) {
    const std::size_t rs = record_size(encoding);
    std::vector<std::optional<Status>> found(scans.size());
    ParallelFor parallel((scans.size() + scans_per_block - 1) / scans_per_block, threads, interrupt);
    TESSMOOR_RETURN_IF_ERROR(parallel.run([&](std::size_t block, std::size_t) -> Status {
        std::uint8_t first[8], last[8];
        const std::size_t end = std::min(scans.size(), (block + 1) * scans_per_block);
        for (std::size_t p = block * scans_per_block; p < end; ++p) {
            auto bad = [&](Status s) {
                found[p] = std::move(s).in_file(f.dat_path(), FileRole::Data).in_function(f.func()).at_scan(scans[p]);
            };
            const ScanRange r = f.range(scans[p]);
            if (r.kind == ScanRange::Kind::OutOfBounds) {
                bad(Status::scan_out_of_bounds());
                continue;
            }
            const std::uint64_t len = r.kind == ScanRange::Kind::Bytes ? r.end - r.start : 0;
            // The decoder's checks look at the length, then at the first
            // and last records.
            const std::uint8_t* head_record = first;
            const std::uint8_t* tail_record = last;
            if (len > 0 && len % rs == 0) {
                auto head = f.read(r.start, std::span<std::uint8_t>(first, rs));
                if (!head) return std::move(head).status();
                auto tail = f.read(r.end - rs, std::span<std::uint8_t>(last, rs));
                if (!tail) return std::move(tail).status();
                head_record = head->data();
                tail_record = tail->data();
            }
            auto plan = plan_scan(encoding, len, head_record, tail_record, f.calibration());
            if (!plan) bad(std::move(plan).status());
        }
        return Status::OK();
    }));
    std::vector<BadScan> out;
    for (std::size_t p = 0; p < scans.size(); ++p)
        if (found[p]) out.push_back(BadScan{scans[p], std::move(*found[p])});
    return out;
}

std::vector<std::uint64_t> without_bad_scans(std::span<const std::uint64_t> scans, const std::vector<BadScan>& bad) {
    std::vector<std::uint64_t> out;
    out.reserve(scans.size() - std::min(scans.size(), bad.size()));
    std::size_t k = 0;
    for (const std::uint64_t s : scans) {
        // bad is in the order of scans, a subsequence of it.
        if (k < bad.size() && bad[k].scan == s) {
            ++k;
            continue;
        }
        out.push_back(s);
    }
    return out;
}

Result<Selected> select_readable(const FunctionReader& f, const ScanSelection& selection, Encoding encoding,
                                 unsigned threads, const Interrupt* interrupt) {
    Selected out;
    TESSMOOR_ASSIGN_OR_RETURN(out.scans, select_scans(f, selection));
    if (!selection.skip_bad) return out;
    TESSMOOR_ASSIGN_OR_RETURN(out.skipped, find_bad_scans(f, out.scans, encoding, threads, interrupt));
    if (!out.skipped.empty()) out.scans = without_bad_scans(out.scans, out.skipped);
    return out;
}

Result<FunctionCheck> check_function(const Run& run, std::uint32_t func, unsigned threads,
                                     const Interrupt* interrupt) {
    return guarded([&] {
        return with_function(run, func, FunctionReader::Purpose::Spectra,
                             [&](FunctionReader& f) -> Result<FunctionCheck> {
            TESSMOOR_RETURN_IF_ERROR(f.load_index());
            FunctionCheck out;
            out.scan_count = f.scan_count();
            out.drift_times = f.has_drift_times();
            std::vector<std::uint64_t> scans(f.scan_count());
            for (std::uint64_t i = 0; i < scans.size(); ++i) scans[i] = i;
            const Encoding encoding = encoding_for(f.variant(), out.drift_times);

            TESSMOOR_ASSIGN_OR_RETURN(const std::vector<BadScan> bad,
                                      find_bad_scans(f, scans, encoding, threads, interrupt));
            for (const BadScan& b : bad) {
                const auto kind = b.status.kind() == StatusKind::ScanOutOfBounds ? ScanProblem::Kind::OutOfBounds
                                                                                : ScanProblem::Kind::Undecodable;
                out.problems.push_back(ScanProblem{kind, b.scan, b.status.text()});
            }

            // The good scans' values, read as a read of them would.
            const std::vector<std::uint64_t> good = without_bad_scans(scans, bad);
            const Plan plan = plan_chunks(f, good);
            const PlannedRead r{f, good, plan, encoding};
            std::vector<ExtentSink> extents(good.size());
            std::vector<ChunkView> views(worker_count(plan.chunks.size(), threads));
            ParallelFor parallel(plan.chunks.size(), threads, interrupt);
            TESSMOOR_RETURN_IF_ERROR(parallel.run([&](std::size_t j, std::size_t w) -> Status {
                const Chunk& chunk = plan.chunks[j];
                TESSMOOR_RETURN_IF_ERROR(views[w].load(r, chunk));
                for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
                    extents[p].with_drift = encoding == Encoding::B;
                    TESSMOOR_RETURN_IF_ERROR(views[w].visit(r, p, extents[p]));
                }
                return Status::OK();
            }));

            // What no sound acquisition writes: masses far outside the
            // function's range (a calibration or records gone wrong; a
            // little beyond it is normal at the range's edges), drift times
            // beyond the scan that holds them, time running backwards.
            const TofCalibration& cal = f.calibration();
            const double width = cal.mz_high - cal.mz_low;
            const double lo_ok = cal.mz_low - width, hi_ok = cal.mz_high + width;
            const double scan_ms = cal.drift_scale_ms;
            for (std::size_t p = 0; p < good.size(); ++p) {
                const ExtentSink& e = extents[p];
                if (e.lo <= e.hi && (!(e.lo >= lo_ok) || !(e.hi <= hi_ok)))
                    out.problems.push_back(ScanProblem{ScanProblem::Kind::MzOutOfRange, good[p],
                                                       "m/z " + number_text(e.lo) + " to " + number_text(e.hi) +
                                                           " in a function of m/z " + number_text(cal.mz_low) +
                                                           " to " + number_text(cal.mz_high)});
                if (e.with_drift && e.drift > scan_ms)
                    out.problems.push_back(ScanProblem{ScanProblem::Kind::DriftBeyondScan, good[p],
                                                       "drift time " + number_text(e.drift) +
                                                           " ms in scans of " + number_text(scan_ms) + " ms"});
            }
            for (std::uint64_t i = 1; i < f.scan_count(); ++i)
                if (f.rt_min(i) < f.rt_min(i - 1))
                    out.problems.push_back(ScanProblem{ScanProblem::Kind::RtBackwards, i,
                                                       "retention time " + number_text(f.rt_min(i)) +
                                                           " min after " + number_text(f.rt_min(i - 1)) + " min"});
            std::stable_sort(out.problems.begin(), out.problems.end(),
                             [](const ScanProblem& a, const ScanProblem& b) { return a.scan < b.scan; });
            return out;
        });
    });
}

}  // namespace tessmoor::core
