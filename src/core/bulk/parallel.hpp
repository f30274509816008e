// Work spread over a few threads: items claimed in order from a shared
// counter, the calling thread working too, and the outcome that of the
// first failing item in item order, whatever the number of threads and
// whichever thread failed first.
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/status.hpp"

namespace tessmoor::core {

// The number of threads a read may use by default: the cores this process
// may run on.
unsigned available_cores() noexcept;

// The threads a run of `count` items uses: no more than it has items.
inline std::size_t worker_count(std::size_t count, unsigned threads) noexcept {
    return std::max<std::size_t>(1, std::min<std::size_t>(threads, count));
}

class ParallelFor {
public:
    ParallelFor(std::size_t count, unsigned threads) noexcept : count_(count), threads_(threads) {}

    // True when an item at or before `item` has failed: work from there on
    // is wasted, and may stop early.
    bool failed_before(std::size_t item) const noexcept {
        return earliest_.load(std::memory_order_relaxed) <= item;
    }

    // Runs work(item, worker) -> Status for every item on up to
    // worker_count(count, threads) threads, the calling one included;
    // `worker` (below worker_count) names the thread, for its scratch space.
    // Every claimed item runs, even after a failure elsewhere (items may
    // wait for their predecessors).  A thread the system refuses to start
    // (a process or memory limit) is done without: the items are shared
    // among those that did start.  Returns the failure of the lowest failing
    // item, or OK.
    template <class Work>
    Status run(Work&& work) noexcept {
        auto worker = [&](std::size_t w) noexcept {
            for (;;) {
                const std::size_t j = next_.fetch_add(1, std::memory_order_relaxed);
                if (j >= count_) return;
                Status s = guarded([&] { return work(j, w); });
                if (!s.ok()) report(j, std::move(s));
            }
        };
        const std::size_t n = worker_count(count_, threads_);
        std::vector<std::thread> pool;
        try {
            pool.reserve(n - 1);
            for (std::size_t w = 1; w < n; ++w) pool.emplace_back(worker, w);
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
        worker(0);
        for (auto& t : pool) t.join();
        std::lock_guard<std::mutex> hold(lock_);
        return std::move(failure_);
    }

private:
    void report(std::size_t item, Status s) noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        if (item < earliest_.load(std::memory_order_relaxed)) {
            failure_ = std::move(s);
            earliest_.store(item, std::memory_order_relaxed);
        }
    }

    std::size_t count_;
    unsigned threads_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> earliest_{std::numeric_limits<std::size_t>::max()};
    std::mutex lock_;
    Status failure_;
};

}  // namespace tessmoor::core
