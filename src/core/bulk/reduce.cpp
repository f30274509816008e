#include "core/bulk/reduce.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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
    const Encoding encoding = encoding_for(f.variant(), false);
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
    Status failed = parallel.run([&](std::size_t j, std::size_t w) -> Status {
        const Chunk& chunk = plan.chunks[j];
        ChunkView& view = views[w];
        std::vector<double>& sums = worker_sums[w];
        if (parallel.failed_before(chunk.p0)) return Status::OK();
        TESSMOOR_RETURN_IF_ERROR(view.load(r, chunk));
        for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
            auto visit = [&](auto& sink) { return view.visit(r, p, sink); };
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
    return read_selected<Chromatogram>(run, func, selection, false, options.threads, options.interrupt,
                                       [&](const FunctionReader& f, std::span<const std::uint64_t> scans) {
                                           return reduce_scans(f, scans, options);
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
