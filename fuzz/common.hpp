// Shared pieces of the fuzz harnesses: invariant checks that abort (so that
// libFuzzer records the input as a crash), a reader that derives values from
// the fuzz input, and an allocation watch that fails a harness when one call
// allocates far more than its input justifies.
#pragma once

#ifndef FUZZ_NO_ALLOCATION_WATCH
#include <sanitizer/allocator_interface.h>
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "core/format/text.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n*** invariant violated at %s:%d: %s\n", file, line, what);
    if (!detail.empty()) std::fprintf(stderr, "*** %s\n", detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, detail)                                          \
    do {                                                                  \
        if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, #cond, (detail));   \
    } while (0)

// Occurrences of `needle` in `text`, overlapping ones included: an upper
// bound on how many records of a kind a text parser can have produced.
inline std::size_t count_of(std::string_view text, std::string_view needle) {
    std::size_t n = 0;
    for (std::size_t p = text.find(needle); p != std::string_view::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

inline bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// A message must be well-formed UTF-8: the Python layer turns it into a str,
// and ill-formed bytes would raise a UnicodeDecodeError instead of the
// RuntimeError that carries the message.
inline bool valid_utf8(std::string_view s) {
    return tessmoor::core::text::is_valid_utf8(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

inline std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline float f32(const std::uint8_t* p) {
    std::uint32_t v = u32(p);
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}

// Bit-for-bit equality, so that NaN payloads compare equal to themselves.
template <class T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Bit-for-bit equality of numbers, any NaN equal to any other: which NaN an
// operation on two NaNs gives depends on the order of its operands, which a
// compiler may swap in a product or a sum; a model written apart from the
// code cannot expect the same payload.
template <class T>
bool same_value(T a, T b) {
    return (a != a && b != b) || same_bits(a, b);
}

// Takes values from the front of the input; past its end every byte is 0.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

    std::uint8_t byte() { return pos_ < in_.size() ? in_[pos_++] : 0; }
    template <class T>
    T value() {
        std::uint8_t buf[sizeof(T)] = {};
        for (auto& b : buf) b = byte();
        T v;
        std::memcpy(&v, buf, sizeof v);
        return v;
    }
    std::span<const std::uint8_t> rest() const {
        return pos_ < in_.size() ? in_.subspan(pos_) : std::span<const std::uint8_t>();
    }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
};

// Watches the allocations made while it is alive.  A parser or decoder
// sizes its result from its input; an allocation far beyond that (a size
// taken from a field instead of from the data, an overflowed size) fails
// the harness even when the machine could have satisfied it.
#ifdef FUZZ_NO_ALLOCATION_WATCH
// Builds without a sanitizer runtime (the coverage build) have no allocator
// hooks: nothing is watched there.
class AllocationWatch {
public:
    AllocationWatch(std::size_t, std::size_t, std::size_t) {}
    void check(const char*) const {}
};
#else
class AllocationWatch {
public:
    // Each single allocation, and the bytes live at any moment, may be at
    // most `per_byte` times the input size plus `slack`.
    AllocationWatch(std::size_t input_size, std::size_t per_byte, std::size_t slack)
        : limit_(input_size * per_byte + slack) {
        install();
        State& s = state();
        s.live = 0;
        s.peak_live = 0;
        s.largest = 0;
        s.active = true;
    }
    ~AllocationWatch() { state().active = false; }
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;

    void check(const char* what) const {
        const State& s = state();
        const std::size_t largest = s.largest;
        const long long peak_live = s.peak_live;
        if (largest > limit_ || peak_live > static_cast<long long>(limit_)) {
            char buf[256];
            std::snprintf(buf, sizeof buf,
                          "%s: largest allocation %zu bytes, peak live %lld bytes, limit %zu", what,
                          largest, peak_live, limit_);
            fail(__FILE__, __LINE__, "allocation within the input's bound", buf);
        }
    }

private:
    // The hooks run on every thread that allocates: the bulk reads allocate
    // on their worker threads too.
    struct State {
        bool installed = false;
        std::atomic<bool> active{false};
        std::atomic<long long> live{0};
        std::atomic<long long> peak_live{0};
        std::atomic<std::size_t> largest{0};
    };
    static State& state() {
        static State s;
        return s;
    }
    template <class T>
    static void raise_to(std::atomic<T>& a, T v) {
        T seen = a.load(std::memory_order_relaxed);
        while (v > seen && !a.compare_exchange_weak(seen, v, std::memory_order_relaxed)) {
        }
    }
    static void on_malloc(const volatile void*, std::size_t size) {
        State& s = state();
        if (!s.active.load(std::memory_order_relaxed)) return;
        raise_to(s.largest, size);
        raise_to(s.peak_live, s.live.fetch_add(static_cast<long long>(size), std::memory_order_relaxed) +
                                  static_cast<long long>(size));
    }
    static void on_free(const volatile void* p) {
        State& s = state();
        if (!s.active.load(std::memory_order_relaxed) || p == nullptr) return;
        s.live.fetch_sub(static_cast<long long>(__sanitizer_get_allocated_size(const_cast<const void*>(p))),
                         std::memory_order_relaxed);
    }
    static void install() {
        State& s = state();
        if (s.installed) return;
        __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
        s.installed = true;
    }
    std::size_t limit_;
};
#endif

}  // namespace fuzz
