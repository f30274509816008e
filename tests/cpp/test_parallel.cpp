// ParallelFor: the outcome is the failure of the lowest failing item,
// whatever the number of threads and whichever failed first; every item runs
// once; and when the system refuses threads, the ones that started (or the
// calling thread alone) do the work, without aborting the process.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/bulk/parallel.hpp"

using namespace tessmoor::core;

// The sanitizers' runtimes map memory of their own for every thread and stop
// the process when they cannot: the address-space test runs without them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UNDER_SANITIZER 1
#endif
#endif

namespace {

// Runs `count` items on `threads` threads; items in `failing` fail with
// their number as the message, the lowest after a delay so that higher ones
// report first.  Returns the outcome; every item must have run once.
Status run_items(std::size_t count, unsigned threads, const std::set<std::size_t>& failing, bool throw_alloc = false) {
    std::vector<std::atomic<int>> ran(count);
    std::atomic<bool> worker_in_range{true};
    ParallelFor parallel(count, threads);
    const std::size_t lowest = failing.empty() ? count : *failing.begin();
    Status out = parallel.run([&](std::size_t item, std::size_t worker) -> Status {
        if (worker >= worker_count(count, threads)) worker_in_range = false;
        ran[item].fetch_add(1);
        if (!failing.count(item)) return Status::OK();
        if (item == lowest && threads > 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (throw_alloc && item == lowest) throw std::bad_alloc();
        return Status::internal(std::to_string(item));
    });
    for (std::size_t i = 0; i < count; ++i) CHECK_EQ(ran[i].load(), 1);
    CHECK(worker_in_range.load());
    return out;
}

}  // namespace

TEST(parallel_lowest_failure_wins) {
    const std::set<std::size_t> cases[] = {{}, {0}, {99}, {5, 50, 98}, {31, 32, 33, 34}};
    for (const unsigned threads : {1u, 2u, 3u, 8u, 200u}) {
        for (const auto& failing : cases) {
            SCOPE(std::to_string(threads) + " threads, " + std::to_string(failing.size()) + " failing");
            const Status s = run_items(100, threads, failing);
            if (failing.empty()) {
                CHECK(s.ok());
            } else {
                CHECK(failed_with(s, StatusKind::Internal));
                if (!s.ok()) CHECK_EQ(s.message(), std::to_string(*failing.begin()));
            }
        }
        // An exception counts as that item's failure.
        SCOPE(std::to_string(threads) + " threads, throwing");
        CHECK(failed_with(run_items(40, threads, {7, 30}, true), StatusKind::OutOfMemory));
    }
    // Nothing to do.
    CHECK(ParallelFor(0, 4).run([](std::size_t, std::size_t) { return Status::internal("ran"); }).ok());
}

#ifndef UNDER_SANITIZER
namespace {

// VmSize of this process, in bytes.
std::uint64_t address_space_in_use() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    std::uint64_t kib = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmSize: %lu kB", &kib) == 1) break;
    std::fclose(f);
    return kib * 1024;
}

// In a child process whose address space leaves room for `stacks` more
// thread stacks and no more, runs 200 items on 16 threads.  The child exits
// 0 when every item ran once and the outcome was right; abort (the old
// fault: a thread that cannot start while others run) shows as a signal.
int run_with_room_for(unsigned stacks) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        constexpr std::size_t stack = std::size_t{16} << 20;
        pthread_attr_t attr;
        if (::pthread_attr_init(&attr) != 0 || ::pthread_attr_setstacksize(&attr, stack) != 0 ||
            ::pthread_setattr_default_np(&attr) != 0)
            ::_exit(3);
        // Room for the stacks and a little heap, not for one stack more.
        const std::uint64_t limit = address_space_in_use() + stacks * stack + stack / 2;
        const struct rlimit rl{limit, limit};
        if (::setrlimit(RLIMIT_AS, &rl) != 0) ::_exit(3);
        const int before = check::failures;
        const Status ok = run_items(200, 16, {});
        const Status failed = run_items(200, 16, {60, 150});
        const bool right = ok.ok() && failed_with(failed, StatusKind::Internal) && failed.message() == "60";
        ::_exit(right && check::failures == before ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace
#endif

TEST(parallel_survives_threads_that_cannot_start) {
#ifdef UNDER_SANITIZER
    std::printf("  (skipped under a sanitizer)\n");
#else
    for (const unsigned stacks : {0u, 1u, 3u}) {
        SCOPE("room for " + std::to_string(stacks) + " more threads");
        CHECK_EQ(run_with_room_for(stacks), 0);
    }
#endif
}
