#include "core/bulk/bulk.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "core/bulk/parallel.hpp"
#include "core/decode/records.hpp"

namespace tessmoor::core {

namespace {

#ifndef TESSMOOR_TEST_CHUNKS
// DAT bytes read and decoded as one unit: small enough to stay in the
// caches between counting and decoding, large enough that a read costs
// little beside its decoding.
constexpr std::uint64_t chunk_bytes = std::uint64_t{2} << 20;
// Chunks of scans without bytes (empty scans) still end somewhere.
constexpr std::size_t chunk_max_scans = 8192;
// Neighbouring scans share a read when the gaps between them stay small
// against the bytes they hold.
constexpr std::uint64_t gap_allowance = std::uint64_t{64} << 10;
#else
// The fuzz and ThreadSanitizer builds cut reads into chunks of a few
// records, so that their runs of a few kilobytes take the paths a run of
// gigabytes takes: many chunks over several threads, scans streamed in
// pieces, gaps that split chunks.
constexpr std::uint64_t chunk_bytes = 64;
constexpr std::size_t chunk_max_scans = 4;
constexpr std::uint64_t gap_allowance = 16;
#endif

Encoding encoding_for(const FunctionReader& f, bool ims) {
    if (f.layout() == IndexLayout::A) return Encoding::A;
    return ims ? Encoding::B : Encoding::C;
}

// ---------------------------------------------------------------------------
// Planning: where each selected scan's bytes lie, and which scans are read
// together.

struct Slot {
    std::uint64_t start = 0;
    std::uint64_t len = 0;
};

struct Chunk {
    std::size_t p0 = 0, p1 = 0;  // positions in the selection
    std::uint64_t lo = 0, hi = 0;  // DAT bytes read for them (lo == hi: none)
    bool streamed = false;       // one scan larger than a chunk, read in pieces
};

struct Plan {
    std::vector<Slot> slots;
    std::vector<Chunk> chunks;
    // Positions from `end` on are not read: the scan at `end` reaches past
    // the DAT data, which fails the read unless an earlier scan fails first.
    std::size_t end = 0;
    std::optional<Failure> stop;
};

Plan plan_chunks(const FunctionReader& f, std::span<const std::uint64_t> scans) {
    Plan plan;
    plan.slots.resize(scans.size());
    plan.end = scans.size();
    for (std::size_t p = 0; p < scans.size(); ++p) {
        const ScanRange r = f.range(scans[p]);
        if (r.kind == ScanRange::Kind::OutOfBounds) {
            plan.end = p;
            plan.stop = f.failure(Failure::Kind::ScanOutOfBounds).at_scan(scans[p]);
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
        if (s.len > chunk_bytes) {
            close();
            plan.chunks.push_back(Chunk{p, p + 1, s.start, s.start + s.len, true});
            continue;
        }
        if (open && cur.p1 - cur.p0 < chunk_max_scans) {
            if (s.len == 0) {
                cur.p1 = p + 1;
                continue;
            }
            const bool has_bytes = cur.hi > cur.lo;
            const std::uint64_t lo = has_bytes ? std::min(cur.lo, s.start) : s.start;
            const std::uint64_t hi = has_bytes ? std::max(cur.hi, s.start + s.len) : s.start + s.len;
            if (hi - lo <= chunk_bytes && hi - lo <= 2 * (held + s.len) + gap_allowance) {
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

// The failure of the earliest position among those reported, whatever the
// order in which threads report them.
class FirstFailure {
public:
    void report(std::size_t position, Failure failure) {
        std::lock_guard<std::mutex> hold(lock_);
        if (position < position_) {
            position_ = position;
            failure_ = std::move(failure);
            earliest_.store(position, std::memory_order_relaxed);
        }
    }
    // True when a failure at or before `position` is known: work from there
    // on is wasted.
    bool before(std::size_t position) const noexcept {
        return earliest_.load(std::memory_order_relaxed) <= position;
    }
    std::optional<Failure> take() { return std::move(failure_); }

private:
    std::mutex lock_;
    std::size_t position_ = std::numeric_limits<std::size_t>::max();
    std::atomic<std::size_t> earliest_{std::numeric_limits<std::size_t>::max()};
    std::optional<Failure> failure_;
};

// ---------------------------------------------------------------------------
// Reading and visiting the scans of a chunk

struct Context {
    const FunctionReader& f;
    std::span<const std::uint64_t> scans;
    const Plan& plan;
    Encoding encoding;
    FirstFailure& failures;
};

// A thread's view of one chunk: its bytes read once, and each scan's plan.
class ChunkView {
public:
    // Reads the chunk and plans its scans.  False when that failed (the
    // failure is reported); positions up to the failing one keep their
    // plans.
    bool load(const Context& c, const Chunk& chunk) {
        chunk_ = &chunk;
        plans_.clear();
        bytes_ = {};
        if (!chunk.streamed && chunk.hi > chunk.lo) {
            buffer_.resize(static_cast<std::size_t>(chunk.hi - chunk.lo));
            auto got = c.f.read(chunk.lo, buffer_);
            if (!got) return fail(c, chunk.p0, std::move(got).error());
            bytes_ = *got;
        }
        for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
            auto planned = plan_at(c, p);
            if (!planned) return false;
            plans_.push_back(*planned);
        }
        return true;
    }

    const ScanPlan& plan(std::size_t p) const { return plans_[p - chunk_->p0]; }

    // Hands the records of the scan at position p to `sink`.  False when a
    // streamed read failed (reported).
    template <class Sink>
    bool visit(const Context& c, std::size_t p, Sink& sink) {
        const ScanPlan& sp = plan(p);
        if (sp.empty()) return true;
        const Slot& s = c.plan.slots[p];
        const std::size_t rs = record_size(sp.encoding);
        if (!chunk_->streamed) {
            visit_scan(sp, c.f.calibration(), bytes_.data() + (s.start - chunk_->lo), sink);
            return true;
        }
        // A scan larger than a chunk: its records in pieces of whole records.
        const std::uint64_t piece = chunk_bytes / rs * rs;
        for (std::uint64_t k = sp.first * rs; k < sp.records * rs; k += piece) {
            const std::uint64_t len = std::min<std::uint64_t>(piece, sp.records * rs - k);
            buffer_.resize(static_cast<std::size_t>(len));
            auto got = c.f.read(s.start + k, buffer_);
            if (!got) return fail(c, p, std::move(got).error());
            visit_records(sp, c.f.calibration(), got->data(), static_cast<std::size_t>(len / rs), sink);
        }
        return true;
    }

private:
    bool fail(const Context& c, std::size_t p, Failure failure) {
        c.failures.report(p, std::move(failure));
        return false;
    }

    std::optional<ScanPlan> plan_at(const Context& c, std::size_t p) {
        const Slot& s = c.plan.slots[p];
        const std::size_t rs = record_size(c.encoding);
        const std::uint8_t* first = nullptr;
        const std::uint8_t* last = nullptr;
        if (s.len == 0) {
            // Nothing to read: the plan is an empty scan's.
        } else if (!chunk_->streamed) {
            first = bytes_.data() + (s.start - chunk_->lo);
            last = s.len >= rs ? first + s.len - rs : first;
        } else if (s.len % rs == 0) {
            // The plan needs the first and last records only.
            auto head = c.f.read(s.start, std::span<std::uint8_t>(ends_, rs));
            if (!head) return fail(c, p, std::move(head).error()), std::nullopt;
            auto tail = c.f.read(s.start + s.len - rs, std::span<std::uint8_t>(ends_ + rs, rs));
            if (!tail) return fail(c, p, std::move(tail).error()), std::nullopt;
            first = head->data();
            last = tail->data();
        }
        auto planned = plan_scan(c.encoding, s.len, first, last, c.f.calibration());
        if (!planned) {
            fail(c, p, Failure::format(Error::parse(std::move(planned).error()), c.f.dat_path())
                           .in_function(c.f.func_index())
                           .at_scan(c.scans[p]));
            return std::nullopt;
        }
        return *planned;
    }

    const Chunk* chunk_ = nullptr;
    Bytes buffer_;
    std::span<const std::uint8_t> bytes_;
    std::vector<ScanPlan> plans_;
    std::uint8_t ends_[16] = {};
};

// ---------------------------------------------------------------------------
// Sinks

template <bool Windowed>
struct CountSink {
    static constexpr bool eager_mz = Windowed;
    Window mz;
    std::uint64_t n = 0;

    template <class Mz, class Drift>
    void operator()(float, const Mz& mz_of, const Drift&) {
        if constexpr (Windowed) {
            if (!mz.contains(mz_of())) return;
        }
        ++n;
    }
};

// Writes peaks into their place in the flat output, at most `limit` of
// them: a streamed scan is read twice, and a file rewritten in between must
// not write past the scan's slice.
template <bool Windowed, bool WithDrift>
struct PlaceSink {
    static constexpr bool eager_mz = true;
    Window window;
    double* mz;
    double* drift;
    float* intensity;
    std::uint64_t limit;
    std::uint64_t n = 0;
    bool overflow = false;

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of) {
        const double m = mz_of();
        if constexpr (Windowed) {
            if (!window.contains(m)) return;
        }
        if (n == limit) {
            overflow = true;
            return;
        }
        mz[n] = m;
        if constexpr (WithDrift) drift[n] = drift_of();
        intensity[n] = value;
        ++n;
    }
};

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

// ---------------------------------------------------------------------------
// Spectra

constexpr std::uint64_t pending = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t abandoned = pending - 1;

template <bool Windowed, bool WithDrift>
Expected<std::uint64_t, Failure> decode_chunks(const Context& c, const SpectraOptions& options,
                                               SpectraBatch& out, unsigned threads) {
    const std::vector<Chunk>& chunks = c.plan.chunks;
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

    std::vector<ChunkView> views(worker_count(chunks.size(), threads));
    run_chunks(chunks.size(), threads, [&](std::size_t j, std::size_t w) {
        const Chunk& chunk = chunks[j];
        ChunkView& view = views[w];
        // Every claimed chunk publishes, whatever happens, so that no later
        // chunk waits forever.
        struct Publisher {
            decltype(publish)& fn;
            std::size_t j;
            std::uint64_t value = abandoned;
            ~Publisher() { fn(j, value); }
        } publisher{publish, j};

        // A chunk that fails, or that follows a failure, publishes that it
        // was abandoned; the chunks after it then stop too.
        if (c.failures.before(chunk.p0) || !view.load(c, chunk)) return;
        std::uint64_t total = 0;
        for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
            CountSink<Windowed> counter{window};
            if (!view.visit(c, p, counter)) return;
            out.offsets[p] = static_cast<std::int64_t>(counter.n);
            total += counter.n;
        }
        const std::uint64_t start = start_of(j);
        if (start == abandoned) return;
        publisher.value = start + total;
        publish(j, publisher.value);

        std::uint64_t at = start;
        for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
            const auto count = static_cast<std::uint64_t>(out.offsets[p]);
            out.offsets[p] = static_cast<std::int64_t>(at);
            PlaceSink<Windowed, WithDrift> sink{window, out.mz.data() + at,
                                                WithDrift ? out.drift_time_ms.data() + at : nullptr,
                                                out.intensity.data() + at, count};
            if (!view.visit(c, p, sink)) return;
            if (sink.overflow || sink.n != count) {
                c.failures.report(p, c.f.failure(Failure::Kind::FileChanged).at_scan(c.scans[p]));
                return;
            }
            at += count;
        }
    });
    if (chunks.empty()) return std::uint64_t{0};
    const std::uint64_t total = ends.back().load(std::memory_order_acquire);
    if (total == abandoned || total == pending) return c.f.failure(Failure::Kind::FileChanged);
    return total;
}

Expected<bool, Failure> finish(const Context& c, Plan& plan) {
    if (auto failure = c.failures.take()) return std::move(*failure);
    if (plan.stop) return std::move(*plan.stop);
    return c.f.check_unchanged();
}

Array<std::int64_t> scan_numbers(std::span<const std::uint64_t> scans) {
    Array<std::int64_t> out(scans.size());
    for (std::size_t p = 0; p < scans.size(); ++p) out[p] = static_cast<std::int64_t>(scans[p]);
    return out;
}

Array<double> retention_times(const FunctionReader& f, std::span<const std::uint64_t> scans) {
    Array<double> out(scans.size());
    for (std::size_t p = 0; p < scans.size(); ++p) out[p] = f.rt_min(scans[p]);
    return out;
}

}  // namespace

unsigned available_cores() noexcept {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

namespace {

Failure scan_out_of_range(const FunctionReader& f, std::uint64_t magnitude, bool negative) {
    Failure failure =
        Failure::of(Failure::Kind::ScanOutOfRange, f.idx_path()).in_function(f.func_index()).at_scan(magnitude);
    failure.scan_negative = negative;
    failure.scan_count = f.size();
    return failure;
}

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

Expected<std::vector<std::uint64_t>, Failure> select_scans(const FunctionReader& f,
                                                           const ScanSelection& selection) {
    const std::uint64_t n = f.size();
    std::vector<std::uint64_t> scans;
    if (selection.picks) {
        scans.reserve(selection.picks->size());
        for (const std::int64_t pick : *selection.picks) {
            const bool negative = pick < 0;
            // The magnitude of a negative pick, without overflow at INT64_MIN.
            const std::uint64_t magnitude =
                negative ? ~static_cast<std::uint64_t>(pick) + 1 : static_cast<std::uint64_t>(pick);
            if (negative ? magnitude > n : magnitude >= n) return scan_out_of_range(f, magnitude, negative);
            scans.push_back(negative ? n - magnitude : magnitude);
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
                                      std::size_t max_scans, std::uint64_t max_bytes) {
    std::vector<std::size_t> bounds{0};
    std::uint64_t bytes = 0;
    for (std::size_t p = 0; p < scans.size(); ++p) {
        const ScanRange r = f.range(scans[p]);
        const std::uint64_t len = r.kind == ScanRange::Kind::Bytes ? r.end - r.start : 0;
        const std::size_t held = p - bounds.back();
        if (held > 0 && (held >= max_scans || bytes + len > max_bytes)) {
            bounds.push_back(p);
            bytes = 0;
        }
        bytes += len;
    }
    if (bounds.back() != scans.size()) bounds.push_back(scans.size());
    return bounds;
}

Expected<SpectraBatch, Failure> read_spectra(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                             const SpectraOptions& options) {
    if (options.ims && f.layout() == IndexLayout::A) {
        // The index's record size decides: name the index.
        Failure failure = f.failure(Failure::Kind::NotIms);
        failure.file = f.idx_path();
        return failure;
    }
    const Encoding encoding = encoding_for(f, options.ims);
    Plan plan = plan_chunks(f, scans);
    FirstFailure failures;
    const Context c{f, scans, plan, encoding, failures};

    // Room for the most peaks the scans can hold; the tail that stays unused
    // is never touched and is given back at the end.
    std::uint64_t most = 0;
    for (std::size_t p = 0; p < plan.end; ++p) {
        const std::uint64_t k = max_peaks(encoding, plan.slots[p].len);
        most = k > std::numeric_limits<std::uint64_t>::max() - most ? std::numeric_limits<std::uint64_t>::max()
                                                                    : most + k;
    }

    SpectraBatch out;
    out.scans = scan_numbers(scans);
    out.rt_min = retention_times(f, scans);
    out.offsets = Array<std::int64_t>(scans.size() + 1);
    out.mz = Array<double>(most);
    out.intensity = Array<float>(most);
    if (options.ims) out.drift_time_ms = Array<double>(most);

    const bool windowed = options.mz.has_value();
    Expected<std::uint64_t, Failure> total =
        options.ims ? (windowed ? decode_chunks<true, true>(c, options, out, options.threads)
                                : decode_chunks<false, true>(c, options, out, options.threads))
                    : (windowed ? decode_chunks<true, false>(c, options, out, options.threads)
                                : decode_chunks<false, false>(c, options, out, options.threads));
    if (auto done = finish(c, plan); !done) return std::move(done).error();
    if (!total) return std::move(total).error();
    out.offsets[scans.size()] = static_cast<std::int64_t>(*total);
    out.mz.shrink(*total);
    out.intensity.shrink(*total);
    if (options.ims) out.drift_time_ms.shrink(*total);
    return out;
}

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

Expected<Chromatogram, Failure> reduce_scans(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                             const ReduceOptions& options) {
    const Encoding encoding = encoding_for(f, false);
    Plan plan = plan_chunks(f, scans);
    FirstFailure failures;
    const Context c{f, scans, plan, encoding, failures};
    const std::size_t n = scans.size();

    Chromatogram out;
    out.scans = scan_numbers(scans);
    out.rt_min = retention_times(f, scans);
    const bool xic = options.kind == ReduceOptions::Kind::Xic;
    const std::size_t rows = xic ? options.targets.size() : 1;
    out.intensity = Array<double>(rows * n);
    std::fill(out.intensity.data(), out.intensity.data() + rows * n, 0.0);
    if (options.kind == ReduceOptions::Kind::BasePeak) {
        out.mz = Array<double>(n);
        std::fill(out.mz.data(), out.mz.data() + n, std::numeric_limits<double>::quiet_NaN());
    }
    const TargetIndex targets(options.targets);
    const Window window = options.mz.value_or(Window{});
    const bool windowed = options.mz.has_value();

    const std::size_t workers = worker_count(plan.chunks.size(), options.threads);
    std::vector<ChunkView> views(workers);
    std::vector<std::vector<double>> worker_sums(workers);
    run_chunks(plan.chunks.size(), options.threads, [&](std::size_t j, std::size_t w) {
        const Chunk& chunk = plan.chunks[j];
        ChunkView& view = views[w];
        std::vector<double>& sums = worker_sums[w];
        if (failures.before(chunk.p0) || !view.load(c, chunk)) return;
        for (std::size_t p = chunk.p0; p < chunk.p1; ++p) {
            auto visit = [&](auto& sink) { return view.visit(c, p, sink); };
            switch (options.kind) {
                case ReduceOptions::Kind::Tic: {
                    if (windowed) {
                        TicSink<true> sink{window};
                        if (!visit(sink)) return;
                        out.intensity[p] = sink.sum;
                    } else {
                        TicSink<false> sink{window};
                        if (!visit(sink)) return;
                        out.intensity[p] = sink.sum;
                    }
                    break;
                }
                case ReduceOptions::Kind::BasePeak: {
                    auto take = [&](auto& sink) {
                        if (!visit(sink)) return false;
                        out.intensity[p] = static_cast<double>(sink.best);
                        out.mz[p] = sink.best_mz;
                        return true;
                    };
                    BasePeakSink<true> in_window{window};
                    BasePeakSink<false> all{window};
                    if (!(windowed ? take(in_window) : take(all))) return;
                    break;
                }
                case ReduceOptions::Kind::Xic: {
                    sums.assign(rows, 0.0);
                    XicSink sink{&targets, sums.data()};
                    if (!visit(sink)) return;
                    for (std::size_t k = 0; k < rows; ++k) out.intensity[k * n + p] = sums[k];
                    break;
                }
            }
        }
    });
    if (auto done = finish(c, plan); !done) return std::move(done).error();
    return out;
}

namespace {

// Opens the function, selects the scans and hands them to `read`.
template <class Result, class Read>
Expected<Result, Failure> whole_call(const Run& run, std::uint32_t func_index, const ScanSelection& selection,
                                     Read&& read) {
    return with_function(run, func_index, FunctionReader::Purpose::Spectra,
                         [&](const FunctionReader& f) -> Expected<Result, Failure> {
                             auto scans = select_scans(f, selection);
                             if (!scans) return std::move(scans).error();
                             return read(f, *scans);
                         });
}

}  // namespace

Expected<SpectraBatch, Failure> read_spectra(const Run& run, std::uint32_t func_index,
                                             const ScanSelection& selection, const SpectraOptions& options) {
    return whole_call<SpectraBatch>(run, func_index, selection, [&](const FunctionReader& f, const auto& scans) {
        return read_spectra(f, scans, options);
    });
}

Expected<Chromatogram, Failure> reduce_scans(const Run& run, std::uint32_t func_index,
                                             const ScanSelection& selection, const ReduceOptions& options) {
    return whole_call<Chromatogram>(run, func_index, selection, [&](const FunctionReader& f, const auto& scans) {
        return reduce_scans(f, scans, options);
    });
}

Expected<ChannelTrace, Failure> read_channel(const Run& run, std::uint64_t channel_index) {
    auto points = run.read_chrom(channel_index);
    if (!points) return std::move(points).error();
    ChannelTrace out{Array<double>(points->size()), Array<double>(points->size())};
    for (std::size_t k = 0; k < points->size(); ++k) {
        out.rt_min[k] = static_cast<double>((*points)[k].rt_min);
        out.value[k] = static_cast<double>((*points)[k].value);
    }
    return out;
}

}  // namespace tessmoor::core
