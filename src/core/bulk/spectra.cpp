#include "core/bulk/spectra.hpp"

#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "core/bulk/parallel.hpp"
#include "core/bulk/plan.hpp"

namespace tessmoor::core {

namespace {

// Counts a scan's peaks without computing their m/z.
struct CountSink {
    static constexpr bool eager_mz = false;
    std::uint64_t n = 0;

    template <class Mz, class Drift>
    void operator()(float, const Mz&, const Drift&) {
        ++n;
    }
};

// Writes peaks into their place in the flat output, at most `limit` of
// them: a streamed scan is read twice, and a file rewritten in between must
// not write past the scan's slice.
template <bool WithDrift>
struct PlaceSink {
    static constexpr bool eager_mz = true;
    double* mz;
    double* drift;
    float* intensity;
    std::uint64_t limit;
    std::uint64_t n = 0;
    bool overflow = false;

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of) {
        if (n == limit) {
            overflow = true;
            return;
        }
        mz[n] = mz_of();
        if constexpr (WithDrift) drift[n] = drift_of();
        intensity[n] = value;
        ++n;
    }
};

// A column of values that grows as they are appended: std::vector's
// push_back, but with its growth out of the way, so that the append itself
// is inlined where centroids are given out.
template <class T>
class Column {
public:
    void clear() noexcept { end_ = data_.get(); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - data_.get()); }
    const T* data() const noexcept { return data_.get(); }
    void push(T v) {
        if (end_ == last_) [[unlikely]]
            grow();
        *end_++ = v;
    }

private:
    [[gnu::noinline]] void grow() {
        const std::size_t size = this->size();
        const std::size_t capacity = size == 0 ? 64 : 2 * size;
        std::unique_ptr<T[]> bigger(new T[capacity]);
        if (size > 0) std::memcpy(bigger.get(), data_.get(), size * sizeof(T));
        data_ = std::move(bigger);
        end_ = data_.get() + size;
        last_ = data_.get() + capacity;
    }

    std::unique_ptr<T[]> data_;
    T* end_ = nullptr;
    T* last_ = nullptr;
};

// A windowed read cannot count a scan's peaks without their m/z.  So its
// chunks keep the peaks inside the window here, each m/z computed once,
// until the chunk's place in the output is known; then they are copied.
struct Collected {
    Column<double> mz;
    Column<double> drift;
    Column<float> intensity;
};

template <bool WithDrift>
struct CollectSink {
    static constexpr bool eager_mz = true;
    Window window;
    Collected* out;
    bool windowed = true;

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of) {
        const double m = mz_of();
        if (windowed && !window.contains(m)) return;
        out->mz.push(m);
        if constexpr (WithDrift) out->drift.push(drift_of());
        out->intensity.push(value);
    }
};

constexpr std::uint64_t pending = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t abandoned = pending - 1;

template <class T>
void copy_into(T* to, const Column<T>& from) {
    if (from.size() > 0) std::memcpy(to, from.data(), from.size() * sizeof(T));
}

template <bool Windowed, bool WithDrift>
Result<std::uint64_t> decode_chunks(const PlannedRead& r, const SpectraOptions& options, SpectraBatch& out) {
    const std::vector<Chunk>& chunks = r.plan.chunks;
    // ends[j]: where the output of chunk j ends, once chunk j has counted.
    std::vector<std::atomic<std::uint64_t>> ends(chunks.size());
    for (auto& e : ends) e.store(pending, std::memory_order_relaxed);
    const Window window = options.mz.value_or(Window{});

    auto publish = [&](std::size_t j, std::uint64_t value) {
        ends[j].store(value, std::memory_order_release);
        ends[j].notify_all();
    };
    auto start_of = [&](std::size_t j) -> std::uint64_t {
        if (j == 0) return 0;
        std::uint64_t v;
        while ((v = ends[j - 1].load(std::memory_order_acquire)) == pending)
            ends[j - 1].wait(pending, std::memory_order_acquire);
        return v;
    };

    ParallelFor parallel(chunks.size(), options.threads, options.interrupt);
    const std::size_t workers = worker_count(chunks.size(), options.threads);
    std::vector<ChunkView> views(workers);
    std::vector<Collected> collected(Windowed ? workers : 0);
    // Drift windows, centroids and lock-mass factors take the collecting
    // path too (Windowed), through the stages of centroid.hpp.
    const bool staged = options.ions.active();
    std::vector<Centroider> centroiders(staged ? workers : 0);
    Status failed = parallel.run([&](std::size_t j, std::size_t w) -> Status {
        const Chunk& chunk = chunks[j];
        ChunkView& view = views[w];
        // Every claimed chunk publishes, whatever happens, so that no later
        // chunk waits forever.  A chunk that fails, or follows a failure,
        // publishes that it was abandoned; the chunks after it then stop too.
        struct Publisher {
            decltype(publish)& fn;
            std::size_t j;
            std::uint64_t value = abandoned;
            ~Publisher() { fn(j, value); }
        } publisher{publish, j};

        if (parallel.failed_before(chunk.p0)) return Status::OK();
        TESSMOOR_RETURN_IF_ERROR(view.load(r, chunk));
        std::uint64_t total = 0;
        if constexpr (Windowed) {
            Collected& c = collected[w];
            c.mz.clear();
            c.drift.clear();
            c.intensity.clear();
            for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
                const std::size_t before = c.mz.size();
                CollectSink<WithDrift> sink{window, &c, options.mz.has_value()};
                TESSMOOR_RETURN_IF_ERROR(staged ? visit_ions(view, r, p, options.ions, sink, centroiders[w])
                                                : view.visit(r, p, sink));
                out.offsets[p] = static_cast<std::int64_t>(c.mz.size() - before);
            }
            total = c.mz.size();
        } else {
            for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
                CountSink counter;
                TESSMOOR_RETURN_IF_ERROR(view.visit(r, p, counter));
                out.offsets[p] = static_cast<std::int64_t>(counter.n);
                total += counter.n;
            }
        }
        const std::uint64_t start = start_of(j);
        if (start == abandoned) return Status::OK();
        publisher.value = start + total;
        publish(j, publisher.value);

        std::uint64_t at = start;
        if constexpr (Windowed) {
            const Collected& c = collected[w];
            copy_into(out.mz.data() + start, c.mz);
            copy_into(out.intensity.data() + start, c.intensity);
            if constexpr (WithDrift) copy_into(out.drift_time_ms.data() + start, c.drift);
            for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
                const auto count = static_cast<std::uint64_t>(out.offsets[p]);
                out.offsets[p] = static_cast<std::int64_t>(at);
                at += count;
            }
            return Status::OK();
        }
        for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
            const auto count = static_cast<std::uint64_t>(out.offsets[p]);
            out.offsets[p] = static_cast<std::int64_t>(at);
            PlaceSink<WithDrift> sink{out.mz.data() + at, WithDrift ? out.drift_time_ms.data() + at : nullptr,
                                      out.intensity.data() + at, count};
            TESSMOOR_RETURN_IF_ERROR(view.visit(r, p, sink));
            if (sink.overflow || sink.n != count)
                return Status::file_changed(r.f.dat_path(), FileRole::Data).in_function(r.f.func());
            at += count;
        }
        return Status::OK();
    });
    TESSMOOR_RETURN_IF_ERROR(failed);
    if (chunks.empty()) return std::uint64_t{0};
    const std::uint64_t total = ends.back().load(std::memory_order_acquire);
    if (total == abandoned || total == pending)
        return Status::internal("a chunk of a read was abandoned without a failure");
    return total;
}

}  // namespace

Result<Array<std::int64_t>> scan_numbers(std::span<const std::uint64_t> scans) {
    TESSMOOR_ASSIGN_OR_RETURN(Array<std::int64_t> out, Array<std::int64_t>::allocate(scans.size()));
    for (std::size_t p = 0; p < scans.size(); ++p) out[p] = static_cast<std::int64_t>(scans[p]);
    return out;
}

Result<Array<double>> retention_times(const FunctionReader& f, std::span<const std::uint64_t> scans) {
    TESSMOOR_ASSIGN_OR_RETURN(Array<double> out, Array<double>::allocate(scans.size()));
    for (std::size_t p = 0; p < scans.size(); ++p) out[p] = f.rt_min(scans[p]);
    return out;
}

Result<SpectraBatch> read_spectra(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                  const SpectraOptions& options) {
    TESSMOOR_RETURN_IF_ERROR(f.check_reading(options.ims));
    TESSMOOR_RETURN_IF_ERROR(check_ion_options(options.ions, options.ims));
    const Encoding encoding = encoding_for(f.variant(), options.ims);
    const Plan plan = plan_chunks(f, scans);
    const PlannedRead r{f, scans, plan, encoding};

    // Room for the most peaks the scans can hold; the tail that stays unused
    // is never touched and is given back at the end.  A hostile index (22-
    // byte ranges may overlap) can claim far more than any machine holds:
    // that fails here, before anything is mapped.
    std::uint64_t most = 0;
    for (std::size_t p = 0; p < plan.end; ++p) {
        const std::uint64_t k = max_peaks(encoding, plan.slots[p].len);
        most = k > std::numeric_limits<std::uint64_t>::max() - most ? std::numeric_limits<std::uint64_t>::max()
                                                                    : most + k;
    }
    const std::uint64_t per_peak = sizeof(double) + sizeof(float) + (options.ims ? sizeof(double) : 0);
    TESSMOOR_RETURN_IF_ERROR(fits_in_memory(bytes_of(most, per_peak)));

    SpectraBatch out;
    TESSMOOR_ASSIGN_OR_RETURN(out.scans, scan_numbers(scans));
    TESSMOOR_ASSIGN_OR_RETURN(out.rt_min, retention_times(f, scans));
    TESSMOOR_ASSIGN_OR_RETURN(out.offsets, Array<std::int64_t>::allocate(scans.size() + 1));
    TESSMOOR_ASSIGN_OR_RETURN(out.mz, Array<double>::allocate(most));
    TESSMOOR_ASSIGN_OR_RETURN(out.intensity, Array<float>::allocate(most));
    if (options.ims) {
        TESSMOOR_ASSIGN_OR_RETURN(out.drift_time_ms, Array<double>::allocate(most));
    }

    const bool windowed = options.mz.has_value() || options.ions.active();
    Result<std::uint64_t> total =
        options.ims ? (windowed ? decode_chunks<true, true>(r, options, out) : decode_chunks<false, true>(r, options, out))
                    : (windowed ? decode_chunks<true, false>(r, options, out)
                                : decode_chunks<false, false>(r, options, out));
    if (!total) return std::move(total).status();
    TESSMOOR_RETURN_IF_ERROR(Status(plan.stop));
    out.offsets[scans.size()] = static_cast<std::int64_t>(*total);
    out.mz.shrink(*total);
    out.intensity.shrink(*total);
    out.drift_time_ms.shrink(*total);
    return out;
}

Result<SpectraBatch> read_spectra(const Run& run, std::uint32_t func, const ScanSelection& selection,
                                  const SpectraOptions& options) {
    return read_selected<SpectraBatch>(run, func, selection, options.ims, options.threads, options.interrupt,
                                       [&](const FunctionReader& f, std::span<const std::uint64_t> scans) {
                                           return read_spectra(f, scans, options);
                                       });
}

Result<SpectraIteration> SpectraIteration::open(const Run& run, std::uint32_t func, const ScanSelection& selection,
                                                bool ims, std::uint64_t max_scans, std::uint64_t max_peaks,
                                                unsigned threads, const Interrupt* interrupt) {
    return guarded([&]() -> Result<SpectraIteration> {
        TESSMOOR_ASSIGN_OR_RETURN(FunctionReader f, FunctionReader::open(run, func, FunctionReader::Purpose::Spectra));
        TESSMOOR_RETURN_IF_ERROR(f.load_index());
        SpectraIteration it(std::move(f));
        TESSMOOR_ASSIGN_OR_RETURN(it.scans_, select_scans(it.f_, selection));
        // A refused reading fails at once, even when no scan is selected.
        TESSMOOR_RETURN_IF_ERROR(it.f_.check_reading(ims));
        if (selection.skip_bad) {
            const Encoding encoding = encoding_for(it.f_.variant(), ims);
            TESSMOOR_ASSIGN_OR_RETURN(it.skipped_, find_bad_scans(it.f_, it.scans_, encoding, threads, interrupt));
            if (!it.skipped_.empty()) it.scans_ = without_bad_scans(it.scans_, it.skipped_);
        }
        it.bounds_ = it.scans_.empty()
                         ? std::vector<std::size_t>{0, 0}
                         : batch_bounds(it.f_, it.scans_, encoding_for(it.f_.variant(), ims), max_scans, max_peaks);
        TESSMOOR_RETURN_IF_ERROR(it.f_.check_unchanged());
        return it;
    });
}

Result<SpectraBatch> SpectraIteration::read(std::size_t k, const SpectraOptions& options) const {
    return guarded([&]() -> Result<SpectraBatch> {
        if (k >= size()) return Status::invalid_argument("batch " + std::to_string(k) + " out of range");
        const std::span<const std::uint64_t> scans(scans_.data() + bounds_[k], bounds_[k + 1] - bounds_[k]);
        TESSMOOR_ASSIGN_OR_RETURN(SpectraBatch batch, read_spectra(f_, scans, options));
        TESSMOOR_RETURN_IF_ERROR(f_.check_unchanged());
        return batch;
    });
}

Result<Array<std::int64_t>> selected_scans(const Run& run, std::uint32_t func, const ScanSelection& selection) {
    return guarded([&] {
        return with_function(run, func, FunctionReader::Purpose::Index,
                             [&](FunctionReader& f) -> Result<Array<std::int64_t>> {
                                 TESSMOOR_RETURN_IF_ERROR(f.load_index());
                                 TESSMOOR_ASSIGN_OR_RETURN(const auto scans, select_scans(f, selection));
                                 return scan_numbers(scans);
                             });
    });
}

Result<Array<double>> function_retention_times(const Run& run, std::uint32_t func) {
    return guarded([&] {
        return with_function(run, func, FunctionReader::Purpose::Index, [](FunctionReader& f) -> Result<Array<double>> {
            TESSMOOR_RETURN_IF_ERROR(f.load_index());
            TESSMOOR_ASSIGN_OR_RETURN(Array<double> out, Array<double>::allocate(f.scan_count()));
            for (std::uint64_t i = 0; i < f.scan_count(); ++i) out[i] = f.rt_min(i);
            return out;
        });
    });
}

}  // namespace tessmoor::core
