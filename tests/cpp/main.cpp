// Runs the core's C++ unit tests: every case, or those whose name contains
// the first argument.  Exits non-zero when a check fails.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

#include "check.hpp"

int main(int argc, char** argv) {
    const char* filter = argc > 1 ? argv[1] : "";
    const auto start = std::chrono::steady_clock::now();
    int ran = 0, failed = 0;
    for (const check::Case& c : check::cases()) {
        if (!std::strstr(c.name, filter)) continue;
        const int before = check::failures;
        try {
            c.run();
        } catch (const std::exception& e) {
            ++check::failures;
            std::fprintf(stderr, "  exception: %s\n", e.what());
        }
        ++ran;
        const bool ok = check::failures == before;
        failed += ok ? 0 : 1;
        std::printf("%s %s\n", ok ? "ok  " : "FAIL", c.name);
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d cases, %d failed, %d failed checks, %.2f s\n", ran, failed, check::failures, s);
    return ran > 0 && failed == 0 ? 0 : 1;
}
