// The threaded bulk reads under ThreadSanitizer (built and run by
// scripts/tsan-bulk.sh):
//
//   tsan_bulk RUN_DIR [MAX_SCANS]
//
// For every function of the run it reads spectra (1-D and ion mobility,
// with and without an m/z window) and reduces them (TIC, base peak, XIC),
// first on one thread for reference, then on several threads, then from
// several caller threads at once on one shared FunctionReader, mixed with
// whole calls and one-scan reads on the shared Run.  Every result must equal the
// reference bit for bit, and every failure must carry the reference's text.
// MAX_SCANS, when given, limits each read to the first scans of a function.
// ThreadSanitizer reports any data race; this program reports mismatches
// and exits non-zero on any.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/access/function_reader.hpp"
#include "core/access/run.hpp"
#include "core/bulk/reduce.hpp"
#include "core/bulk/selection.hpp"
#include "core/bulk/spectra.hpp"

using namespace tessmoor::core;

namespace {

std::atomic<int> mismatches{0};

void expect(bool ok, const std::string& what) {
    if (ok) return;
    std::fprintf(stderr, "tsan-bulk: MISMATCH: %s\n", what.c_str());
    mismatches.fetch_add(1);
}

template <class T>
bool same(const Array<T>& a, const Array<T>& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool same(const SpectraBatch& a, const SpectraBatch& b) {
    return same(a.scans, b.scans) && same(a.rt_min, b.rt_min) && same(a.offsets, b.offsets) && same(a.mz, b.mz) &&
           same(a.intensity, b.intensity) && same(a.drift_time_ms, b.drift_time_ms);
}

bool same(const Chromatogram& a, const Chromatogram& b) {
    return same(a.scans, b.scans) && same(a.rt_min, b.rt_min) && same(a.intensity, b.intensity) &&
           same(a.mz, b.mz);
}

template <class T>
bool same(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// A read's outcome: its value, or its failure's text.
template <class T>
struct Outcome {
    std::optional<T> value;
    std::string failure;

    explicit Outcome(Result<T>&& r) {
        if (r)
            value.emplace(std::move(r).value());
        else
            failure = r.status().context_text();
    }
    bool operator==(const Outcome& o) const {
        if (value.has_value() != o.value.has_value()) return false;
        return value ? same(*value, *o.value) : failure == o.failure;
    }
};

// One read of a function with a given number of threads.
using Job = std::function<bool(const FunctionReader&, std::span<const std::uint64_t>, unsigned threads)>;

std::vector<Job> jobs_for(const Run& run, const FunctionReader& f, std::span<const std::uint64_t> scans) {
    std::vector<Job> jobs;
    auto spectra = [&](bool ims, std::optional<Window> mz) {
        auto reference = std::make_shared<Outcome<SpectraBatch>>(read_spectra(f, scans, SpectraOptions{ims, mz, 1}));
        jobs.push_back([=](const FunctionReader& g, std::span<const std::uint64_t> s, unsigned threads) {
            return Outcome<SpectraBatch>(read_spectra(g, s, SpectraOptions{ims, mz, threads})) == *reference;
        });
    };
    auto reduce = [&](ReduceOptions options) {
        auto reference = std::make_shared<Outcome<Chromatogram>>(reduce_scans(f, scans, options));
        jobs.push_back([=](const FunctionReader& g, std::span<const std::uint64_t> s, unsigned threads) {
            ReduceOptions o = options;
            o.threads = threads;
            return Outcome<Chromatogram>(reduce_scans(g, s, o)) == *reference;
        });
    };
    const Window window{200.0, 800.0};
    spectra(false, std::nullopt);
    spectra(false, window);
    if (f.variant() == IndexVariant::B) spectra(true, window);
    // A whole call opens a reader of its own on the shared run, selects the
    // same scans and reads them.
    {
        ScanSelection selection;
        selection.slice = ScanSlice{std::nullopt, static_cast<std::int64_t>(scans.size()), 1};
        auto reference = std::make_shared<Outcome<SpectraBatch>>(read_spectra(f, scans, SpectraOptions{}));
        const std::uint32_t func = f.func();
        jobs.push_back([=, &run](const FunctionReader&, std::span<const std::uint64_t>, unsigned threads) {
            return Outcome<SpectraBatch>(read_spectra(run, func, selection, SpectraOptions{false, {}, threads})) ==
                   *reference;
        });
    }
    reduce(ReduceOptions{ReduceOptions::Kind::Tic, std::nullopt, {}, 1});
    reduce(ReduceOptions{ReduceOptions::Kind::BasePeak, window, {}, 1});
    const double targets[] = {150.0, 400.0, 400.5, 1200.0};
    reduce(ReduceOptions{ReduceOptions::Kind::Xic, std::nullopt, xic_windows(targets, std::nullopt, 2.0), 1});

    // Centroids, drift windows and lock-mass factors: each thread keeps
    // a centroider of its own, and peaks may straddle the pieces of a
    // streamed scan.
    static const double lock_rt[] = {0.0, 0.5, 1.0};
    static const double lock_factor[] = {1.00002, 0.99999, 0.99997};
    IonOptions ions;
    ions.centroid = true;
    ions.correction = MzCorrection{lock_rt, lock_factor};
    auto ion_spectra = [&](bool ims, IonOptions o) {
        SpectraOptions options{ims, window, 1};
        options.ions = o;
        auto reference = std::make_shared<Outcome<SpectraBatch>>(read_spectra(f, scans, options));
        jobs.push_back([=](const FunctionReader& g, std::span<const std::uint64_t> s, unsigned threads) {
            SpectraOptions mine = options;
            mine.threads = threads;
            return Outcome<SpectraBatch>(read_spectra(g, s, mine)) == *reference;
        });
    };
    ion_spectra(false, ions);
    if (f.variant() == IndexVariant::B) {
        IonOptions drift = ions;
        drift.drift = Window{0.0, 400.0};
        ion_spectra(true, drift);
    }
    ReduceOptions centroid_xic{ReduceOptions::Kind::Xic, std::nullopt, xic_windows(targets, std::nullopt, 2.0), 1};
    centroid_xic.ions = ions;
    reduce(centroid_xic);
    return jobs;
}

// The scan queries of Run, for comparison from other threads.
struct ScanAnswer {
    std::uint64_t scan;
    std::string failure;
    std::vector<double> mz;
    std::vector<float> intensity;
};

ScanAnswer ask(const Run& run, std::uint32_t func, std::uint64_t scan) {
    auto s = run.read_spectrum(func, scan);
    if (!s) return ScanAnswer{scan, s.status().context_text(), {}, {}};
    return ScanAnswer{scan,
                      {},
                      std::vector<double>(s->mz.data(), s->mz.data() + s->mz.size()),
                      std::vector<float>(s->intensity.data(), s->intensity.data() + s->intensity.size())};
}

void check_function(const Run& run, std::uint32_t func, std::uint64_t max_scans) {
    auto opened = FunctionReader::open(run, func, FunctionReader::Purpose::Spectra);
    const Status loaded = opened ? opened->load_index() : opened.status();
    if (!loaded.ok()) {
        std::fprintf(stderr, "tsan-bulk: function %u: %s\n", func, loaded.context_text().c_str());
        mismatches.fetch_add(1);
        return;
    }
    const FunctionReader& f = *opened;
    auto all = select_scans(f, ScanSelection{});
    expect(all.ok(), "select_scans");
    if (!all) return;
    std::vector<std::uint64_t> scans = std::move(all).value();
    if (max_scans > 0 && scans.size() > max_scans) scans.resize(max_scans);
    const std::vector<Job> jobs = jobs_for(run, f, scans);

    std::vector<ScanAnswer> answers;
    for (std::uint64_t i = 0; i < scans.size(); i += 1 + scans.size() / 16) answers.push_back(ask(run, func, i));

    // Several threads within one read.
    for (const unsigned threads : {2u, 3u, 4u})
        for (std::size_t k = 0; k < jobs.size(); ++k)
            expect(jobs[k](f, scans, threads), "function " + std::to_string(func) + ", job " + std::to_string(k) +
                                                   ", " + std::to_string(threads) + " threads");

    // Several callers at once on the shared reader and run, each read on
    // threads of its own.
    std::vector<std::thread> callers;
    for (unsigned c = 0; c < 3; ++c) {
        callers.emplace_back([&, c] {
            for (std::size_t k = 0; k < jobs.size(); ++k) {
                const std::size_t j = (k + c) % jobs.size();
                expect(jobs[j](f, scans, 2 + c), "function " + std::to_string(func) + ", job " + std::to_string(j) +
                                                     ", caller " + std::to_string(c));
                const ScanAnswer& want = answers[(k + c) % answers.size()];
                const ScanAnswer got = ask(run, func, want.scan);
                expect(got.failure == want.failure && same(got.mz, want.mz) && same(got.intensity, want.intensity),
                       "read_spectrum from caller " + std::to_string(c));
            }
        });
    }
    for (auto& t : callers) t.join();
    std::printf("tsan-bulk: function %u: %zu scans, %zu reads checked\n", func, scans.size(), jobs.size() * 6);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s RUN_DIR [MAX_SCANS]\n", argv[0]);
        return 2;
    }
    const std::uint64_t max_scans = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 0;
    auto run = Run::open(argv[1]);
    if (!run) {
        std::fprintf(stderr, "tsan-bulk: %s\n", run.status().context_text().c_str());
        return 2;
    }
    for (const auto& fn : run->function_table.functions) check_function(*run, fn.index, max_scans);
    if (mismatches.load() > 0) {
        std::fprintf(stderr, "tsan-bulk: %d mismatches\n", mismatches.load());
        return 1;
    }
    return 0;
}
