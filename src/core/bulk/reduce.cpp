#include "core/bulk/reduce.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "core/bulk/parallel.hpp"
#include "core/bulk/plan.hpp"
#include "core/bulk/spectra.hpp"

namespace tessmoor::core {

namespace {

template <bool Windowed>
struct TicSink {
    static constexpr bool eager_mz = Windowed;
    Window mz;
    double sum = 0.0;

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift&) {
        if constexpr (Windowed) {
            if (!mz.contains(mz_of())) return;
        }
        sum = sum + static_cast<double>(value);
    }
};

template <bool Windowed>
struct BasePeakSink {
    static constexpr bool eager_mz = Windowed;
    Window mz;
    float best = 0.0f;
    double best_mz = std::numeric_limits<double>::quiet_NaN();

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift&) {
        if constexpr (Windowed) {
            const double m = mz_of();
            if (!mz.contains(m) || !(value > best)) return;
            best = value;
            best_mz = m;
        } else {
            if (!(value > best)) return;
            best = value;
            best_mz = mz_of();
        }
    }
};

// The XIC targets sorted by their windows' lower ends, so that a peak
// finds the windows holding it by a binary search and a short walk back.
struct TargetIndex {
    std::vector<double> lo;      // ascending
    std::vector<double> hi;
    std::vector<double> max_hi;  // max_hi[k]: largest hi among lo[0..k]
    std::vector<std::size_t> target;

    explicit TargetIndex(const std::vector<Window>& windows) {
        std::vector<std::size_t> order;
        for (std::size_t k = 0; k < windows.size(); ++k)
            if (!std::isnan(windows[k].lo) && !std::isnan(windows[k].hi)) order.push_back(k);
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return windows[a].lo < windows[b].lo; });
        double running = -std::numeric_limits<double>::infinity();
        for (std::size_t k : order) {
            lo.push_back(windows[k].lo);
            hi.push_back(windows[k].hi);
            running = std::max(running, windows[k].hi);
            max_hi.push_back(running);
            target.push_back(k);
        }
    }
};

struct XicSink {
    static constexpr bool eager_mz = true;
    const TargetIndex* index;
    double* sums;  // one per target

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift&) {
        const double m = mz_of();
        if (std::isnan(m)) return;
        const auto& lo = index->lo;
        std::size_t k = static_cast<std::size_t>(std::upper_bound(lo.begin(), lo.end(), m) - lo.begin());
        // Windows from k on start above m; walking back, once no earlier
        // window reaches m, none holds it.
        while (k > 0 && index->max_hi[k - 1] >= m) {
            --k;
            if (index->hi[k] >= m) sums[index->target[k]] = sums[index->target[k]] + static_cast<double>(value);
        }
    }
};

// A worker's sums of a mobilogram: per target and drift position, and the
// drift time of each position seen.  Rows of 65,536 positions are made for
// the targets a record falls in; beyond a few dozen targets the sums go to
// a map instead, so that memory follows what is found.
struct MobilogramSums {
    static constexpr std::size_t positions = 65536;
    static constexpr std::size_t dense_targets = 32;

    std::size_t targets = 0;
    std::vector<std::vector<double>> rows;
    std::unordered_map<std::uint64_t, double> sparse;
    std::vector<double> drift;  // NaN: no record at that position
    std::vector<bool> seen;

    explicit MobilogramSums(std::size_t n)
        : targets(n), rows(n <= dense_targets ? n : 0), drift(positions), seen(positions, false) {}

    void add(std::size_t target, std::uint16_t pos, double value) {
        if (targets <= dense_targets) {
            std::vector<double>& row = rows[target];
            if (row.empty()) row.assign(positions, 0.0);
            row[pos] = row[pos] + value;
        } else {
            double& sum = sparse[(static_cast<std::uint64_t>(target) << 16) | pos];
            sum = sum + value;
        }
    }
};

struct MobilogramSink {
    static constexpr bool eager_mz = true;
    static constexpr bool wants_position = true;
    const TargetIndex* index;
    MobilogramSums* sums;

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of, RecordPosition pos) {
        const double m = mz_of();
        if (std::isnan(m)) return;
        const auto& lo = index->lo;
        std::size_t k = static_cast<std::size_t>(std::upper_bound(lo.begin(), lo.end(), m) - lo.begin());
        bool hit = false;
        while (k > 0 && index->max_hi[k - 1] >= m) {
            --k;
            if (index->hi[k] >= m) {
                sums->add(index->target[k], pos.field4, static_cast<double>(value));
                hit = true;
            }
        }
        if (hit && !sums->seen[pos.field4]) {
            sums->seen[pos.field4] = true;
            sums->drift[pos.field4] = drift_of();
        }
    }
};

}  // namespace

std::vector<Window> xic_windows(std::span<const double> targets, std::optional<double> ppm,
                                std::optional<double> da) {
    std::vector<Window> out;
    out.reserve(targets.size());
    for (const double t : targets) {
        double tol = da.value_or(0.0);
        if (ppm) {
            const double scaled = t * *ppm;
            tol = scaled / 1e6;
        }
        const double lo = t - tol;
        const double hi = t + tol;
        out.push_back(Window{lo, hi});
    }
    return out;
}

Result<Chromatogram> reduce_scans(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                             const ReduceOptions& options) {
    TESSMOOR_RETURN_IF_ERROR(f.check_reading(options.ims));
    TESSMOOR_RETURN_IF_ERROR(check_ion_options(options.ions, options.ims));
    const Encoding encoding = encoding_for(f.variant(), options.ims);
    const Plan plan = plan_chunks(f, scans);
    const PlannedRead r{f, scans, plan, encoding};
    const std::size_t n = scans.size();

    Chromatogram out;
    TESSMOOR_ASSIGN_OR_RETURN(out.scans, scan_numbers(scans));
    TESSMOOR_ASSIGN_OR_RETURN(out.rt_min, retention_times(f, scans));
    const bool xic = options.kind == ReduceOptions::Kind::Xic;
    const std::size_t rows = xic ? options.targets.size() : 1;
    TESSMOOR_ASSIGN_OR_RETURN(out.intensity, Array<double>::allocate(bytes_of(rows, n)));
    std::fill(out.intensity.data(), out.intensity.data() + rows * n, 0.0);
    if (options.kind == ReduceOptions::Kind::BasePeak) {
        TESSMOOR_ASSIGN_OR_RETURN(out.mz, Array<double>::allocate(n));
        std::fill(out.mz.data(), out.mz.data() + n, std::numeric_limits<double>::quiet_NaN());
    }
    const TargetIndex targets(options.targets);
    const Window window = options.mz.value_or(Window{});
    const bool windowed = options.mz.has_value();

    ParallelFor parallel(plan.chunks.size(), options.threads, options.interrupt);
    const std::size_t workers = worker_count(plan.chunks.size(), options.threads);
    std::vector<ChunkView> views(workers);
    std::vector<std::vector<double>> worker_sums(workers);
    const bool staged = options.ions.active();
    std::vector<Centroider> centroiders(workers);
    Status failed = parallel.run([&](std::size_t j, std::size_t w) -> Status {
        const Chunk& chunk = plan.chunks[j];
        ChunkView& view = views[w];
        std::vector<double>& sums = worker_sums[w];
        if (parallel.failed_before(chunk.p0)) return Status::OK();
        TESSMOOR_RETURN_IF_ERROR(view.load(r, chunk));
        for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
            auto visit = [&](auto& sink) {
                return staged ? visit_ions(view, r, p, options.ions, sink, centroiders[w]) : view.visit(r, p, sink);
            };
            switch (options.kind) {
                case ReduceOptions::Kind::Tic: {
                    if (windowed) {
                        TicSink<true> sink{window};
                        TESSMOOR_RETURN_IF_ERROR(visit(sink));
                        out.intensity[p] = sink.sum;
                    } else {
                        TicSink<false> sink{window};
                        TESSMOOR_RETURN_IF_ERROR(visit(sink));
                        out.intensity[p] = sink.sum;
                    }
                    break;
                }
                case ReduceOptions::Kind::BasePeak: {
                    auto take = [&](auto& sink) -> Status {
                        TESSMOOR_RETURN_IF_ERROR(visit(sink));
                        out.intensity[p] = static_cast<double>(sink.best);
                        out.mz[p] = sink.best_mz;
                        return Status::OK();
                    };
                    BasePeakSink<true> in_window{window};
                    BasePeakSink<false> all{window};
                    TESSMOOR_RETURN_IF_ERROR(windowed ? take(in_window) : take(all));
                    break;
                }
                case ReduceOptions::Kind::Xic: {
                    sums.assign(rows, 0.0);
                    XicSink sink{&targets, sums.data()};
                    TESSMOOR_RETURN_IF_ERROR(visit(sink));
                    for (std::size_t k = 0; k < rows; ++k) out.intensity[k * n + p] = sums[k];
                    break;
                }
            }
        }
        return Status::OK();
    });
    TESSMOOR_RETURN_IF_ERROR(failed);
    TESSMOOR_RETURN_IF_ERROR(Status(plan.stop));
    return out;
}

Result<Chromatogram> reduce_scans(const Run& run, std::uint32_t func, const ScanSelection& selection,
                                  const ReduceOptions& options) {
    return read_selected<Chromatogram>(run, func, selection, options.ims, options.threads, options.interrupt,
                                       [&](const FunctionReader& f, std::span<const std::uint64_t> scans) {
                                           return reduce_scans(f, scans, options);
                                       });
}

Result<Mobilogram> reduce_mobilogram(const Run& run, std::uint32_t func, const ScanSelection& selection,
                                     std::span<const Window> windows, const IonOptions& ions, unsigned threads,
                                     const Interrupt* interrupt) {
    return guarded([&] {
        return with_function(run, func, FunctionReader::Purpose::Spectra, [&](FunctionReader& f) -> Result<Mobilogram> {
            TESSMOOR_RETURN_IF_ERROR(f.load_index());
            TESSMOOR_ASSIGN_OR_RETURN(const auto scans, select_scans(f, selection));
            TESSMOOR_RETURN_IF_ERROR(f.check_reading(true));
            if (ions.centroid) return Status::invalid_argument("a mobilogram sums records, not centroids");
            const Plan plan = plan_chunks(f, scans);
            const PlannedRead r{f, scans, plan, Encoding::B};
            const std::vector<Window> all(windows.begin(), windows.end());
            const TargetIndex targets(all);
            const std::size_t n_targets = windows.size();

            ParallelFor parallel(plan.chunks.size(), threads, interrupt);
            const std::size_t workers = worker_count(plan.chunks.size(), threads);
            std::vector<ChunkView> views(workers);
            std::vector<Centroider> centroiders(workers);
            std::vector<MobilogramSums> sums;
            for (std::size_t w = 0; w < workers; ++w) sums.emplace_back(n_targets);
            Status failed = parallel.run([&](std::size_t j, std::size_t w) -> Status {
                const Chunk& chunk = plan.chunks[j];
                if (parallel.failed_before(chunk.p0)) return Status::OK();
                TESSMOOR_RETURN_IF_ERROR(views[w].load(r, chunk));
                MobilogramSink sink{&targets, &sums[w]};
                for (std::size_t p = chunk.p0; p < chunk.p1; ++p)
                    TESSMOOR_RETURN_IF_ERROR(ions.active() ? visit_ions(views[w], r, p, ions, sink, centroiders[w])
                                                           : views[w].visit(r, p, sink));
                return Status::OK();
            });
            TESSMOOR_RETURN_IF_ERROR(failed);
            TESSMOOR_RETURN_IF_ERROR(Status(plan.stop));

            // The intensities are whole numbers, so the sums are exact and
            // the same in any order: workers are merged as they come.
            std::vector<std::uint32_t> present;
            std::vector<double> drift(MobilogramSums::positions);
            for (std::uint32_t pos = 0; pos < MobilogramSums::positions; ++pos) {
                for (const MobilogramSums& s : sums)
                    if (s.seen[pos]) {
                        drift[pos] = s.drift[pos];
                        present.push_back(pos);
                        break;
                    }
            }
            std::stable_sort(present.begin(), present.end(),
                             [&](std::uint32_t a, std::uint32_t b) { return drift[a] < drift[b]; });
            const std::size_t cols = present.size();
            std::vector<std::int64_t> column(MobilogramSums::positions, -1);
            for (std::size_t c = 0; c < cols; ++c) column[present[c]] = static_cast<std::int64_t>(c);

            Mobilogram out;
            TESSMOOR_ASSIGN_OR_RETURN(out.drift_time_ms, Array<double>::allocate(cols));
            for (std::size_t c = 0; c < cols; ++c) out.drift_time_ms[c] = drift[present[c]];
            TESSMOOR_ASSIGN_OR_RETURN(out.intensity, Array<double>::allocate(bytes_of(n_targets, cols)));
            std::fill(out.intensity.data(), out.intensity.data() + n_targets * cols, 0.0);
            for (const MobilogramSums& s : sums) {
                for (std::size_t t = 0; t < s.rows.size(); ++t) {
                    if (s.rows[t].empty()) continue;
                    for (std::size_t c = 0; c < cols; ++c) {
                        double& cell = out.intensity[t * cols + c];
                        cell = cell + s.rows[t][present[c]];
                    }
                }
                for (const auto& [key, value] : s.sparse) {
                    const std::size_t t = static_cast<std::size_t>(key >> 16);
                    const auto c = static_cast<std::size_t>(column[key & 0xffffu]);
                    double& cell = out.intensity[t * cols + c];
                    cell = cell + value;
                }
            }
            return out;
        });
    });
}

Result<ChannelTrace> read_channel(const Run& run, std::uint64_t channel_index) {
    return guarded([&]() -> Result<ChannelTrace> {
        if (run.policy.listed_only && run.chroms_inf) {
            const auto& listed = run.chroms_inf->channels;
            const bool found = std::any_of(listed.begin(), listed.end(),
                                           [&](const ChromChannel& c) { return c.index == channel_index; });
            if (!found)
                return Status::channel_not_found(channel_index)
                    .in_file(join_path(run.path, "_CHROMS.INF"), FileRole::Chroms)
                    .with_detail(listed.empty() ? "the run lists no channels"
                                                : "the run's channels are 0 to " + std::to_string(listed.size() - 1));
        }
        TESSMOOR_ASSIGN_OR_RETURN(const std::vector<ChromPoint> points, run.read_chrom(channel_index));
        ChannelTrace out;
        TESSMOOR_ASSIGN_OR_RETURN(out.rt_min, Array<double>::allocate(points.size()));
        TESSMOOR_ASSIGN_OR_RETURN(out.value, Array<double>::allocate(points.size()));
        for (std::size_t k = 0; k < points.size(); ++k) {
            out.rt_min[k] = static_cast<double>(points[k].rt_min);
            out.value[k] = static_cast<double>(points[k].value);
        }
        return out;
    });
}

}  // namespace tessmoor::core
