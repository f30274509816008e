// Work spread over a few threads: items claimed in order from a shared
// counter, the calling thread working too, and the outcome that of the
// first failing item in item order, whatever the number of threads and
// whichever thread failed first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
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

// How a long call learns that its caller wants it to stop (Ctrl-C).  While
// the work runs on other threads, the calling thread waits and calls
// poll() every few tens of milliseconds; once poll() returns true, no new
// item starts, the items under way finish, and the run ends Interrupted.
struct Interrupt {
    std::function<bool()> poll;
    std::chrono::milliseconds period{20};
};

// The threads a run of `count` items uses: no more than it has items.
inline std::size_t worker_count(std::size_t count, unsigned threads) noexcept {
    return std::max<std::size_t>(1, std::min<std::size_t>(threads, count));
}

class ParallelFor {
public:
    ParallelFor(std::size_t count, unsigned threads, const Interrupt* interrupt = nullptr) noexcept
        : count_(count), threads_(threads), interrupt_(interrupt && interrupt->poll ? interrupt : nullptr) {}

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
    // item, or OK.  With an Interrupt, the calling thread only waits and
    // polls, unless no thread at all could be started.
    template <class Work>
    Status run(Work&& work) noexcept {
        auto worker = [&](std::size_t w) noexcept {
            while (!stopped_.load(std::memory_order_relaxed)) {
                const std::size_t j = next_.fetch_add(1, std::memory_order_relaxed);
                if (j >= count_) break;
                Status s = guarded([&] { return work(j, w); });
                if (!s.ok()) report(j, std::move(s));
            }
            std::lock_guard<std::mutex> hold(lock_);
            --running_;
            done_.notify_all();
        };
        const std::size_t n = worker_count(count_, threads_);
        const std::size_t first_thread = interrupt_ ? 0 : 1;
        std::vector<std::thread> pool;
        try {
            pool.reserve(n);
            for (std::size_t w = first_thread; w < n; ++w) {
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    ++running_;
                }
                try {
                    pool.emplace_back(worker, w);
                } catch (...) {
                    std::lock_guard<std::mutex> hold(lock_);
                    --running_;
                    throw;
                }
            }
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
        if (!interrupt_ || pool.empty()) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                ++running_;
            }
            worker(0);
        } else {
            wait_polling();
        }
        for (auto& t : pool) t.join();
        if (stopped_.load()) return Status::interrupted();
        std::lock_guard<std::mutex> hold(lock_);
        return std::move(failure_);
    }

private:
    // Waits for the workers, asking the interrupt between waits.
    void wait_polling() noexcept {
        std::unique_lock<std::mutex> hold(lock_);
        while (running_ > 0) {
            if (done_.wait_for(hold, interrupt_->period, [&] { return running_ == 0; })) break;
            if (stopped_.load(std::memory_order_relaxed)) continue;
            hold.unlock();
            bool stop = false;
            try {
                stop = interrupt_->poll();
            } catch (...) {
                stop = true;
            }
            hold.lock();
            if (stop) stopped_.store(true, std::memory_order_relaxed);
        }
    }

    void report(std::size_t item, Status s) noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        if (item < earliest_.load(std::memory_order_relaxed)) {
            failure_ = std::move(s);
            earliest_.store(item, std::memory_order_relaxed);
        }
    }

    std::size_t count_;
    unsigned threads_;
    const Interrupt* interrupt_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stopped_{false};
    std::size_t running_ = 0;  // workers under way, under lock_
    std::condition_variable done_;
    std::atomic<std::size_t> earliest_{std::numeric_limits<std::size_t>::max()};
    std::mutex lock_;
    Status failure_;
};

}  // namespace tessmoor::core
