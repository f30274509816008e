// Work spread over a few threads: items claimed in order from a shared
// counter, the calling thread working too.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tessmoor::core {

// The threads a run of `count` items uses: no more than it has items.
inline std::size_t worker_count(std::size_t count, unsigned threads) {
    return std::max<std::size_t>(1, std::min<std::size_t>(threads, count));
}

// Runs work(item, worker) for every item on worker_count(count, threads)
// threads, the calling one included; items are claimed in order, and
// `worker` (below worker_count) names the thread, for its scratch space.
// The first exception a thread meets (bad_alloc) is rethrown here once all
// threads are done.
template <class Work>
void run_chunks(std::size_t count, unsigned threads, Work&& work) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr caught;
    std::mutex caught_lock;
    auto worker = [&](std::size_t w) {
        for (;;) {
            const std::size_t j = next.fetch_add(1, std::memory_order_relaxed);
            if (j >= count) return;
            try {
                work(j, w);
            } catch (...) {
                std::lock_guard<std::mutex> hold(caught_lock);
                if (!caught) caught = std::current_exception();
            }
        }
    };
    const std::size_t n = worker_count(count, threads);
    std::vector<std::thread> pool;
    pool.reserve(n - 1);
    for (std::size_t w = 1; w < n; ++w) pool.emplace_back(worker, w);
    worker(0);
    for (auto& t : pool) t.join();
    if (caught) std::rethrow_exception(caught);
}

}  // namespace tessmoor::core
