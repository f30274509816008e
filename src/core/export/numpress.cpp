#include "core/export/numpress.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace tessmoor::core::numpress {

namespace {

constexpr double int31_max = 2147483647.0;  // the largest extrapolation error, scaled
constexpr double uint32_max = 4294967295.0;
constexpr double uint16_max = 65535.0;
// Scaled values stay below this, so that 2 X[i-1] - X[i-2] and the
// difference from it are computed without overflow in 64 bits.
constexpr double scaled_limit = 1152921504606846976.0;  // 2^60

void put_le(std::uint8_t* out, std::uint64_t v, int bytes) noexcept {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The fixed point is the one big-endian number of the encodings.
void put_fixed_point(std::uint8_t* out, double fp) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(fp);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * (7 - i)));
}

// Half-bytes into bytes, each byte filled from its high half.
class Nibbles {
public:
    explicit Nibbles(std::uint8_t* out) noexcept : out_(out) {}

    void put(unsigned v) noexcept {
        if (high_) {
            *out_ = static_cast<std::uint8_t>((v & 0xF) << 4);
        } else {
            *out_++ |= static_cast<std::uint8_t>(v & 0xF);
        }
        high_ = !high_;
    }

    // The 32 bits of x: a count of leading 0 (or 0xF) half-bytes, then the
    // others from the least significant up.  -1 keeps one 0xF half-byte,
    // since a count of 16 does not fit in 4 bits.
    void put_int(std::uint32_t x) noexcept {
        unsigned lead = 0, head = 0;
        if ((x >> 28) == 0) {
            while (lead < 8 && ((x >> (28 - 4 * lead)) & 0xF) == 0) ++lead;
            head = lead;
        } else if ((x >> 28) == 0xF) {
            while (lead < 7 && ((x >> (28 - 4 * lead)) & 0xF) == 0xF) ++lead;
            head = lead + 8;
        }
        put(head);
        for (unsigned i = 0; i < 8 - lead; ++i) put(x >> (4 * i));
    }

    // The end of the bytes written: a half-filled last byte keeps 0 in its
    // low half.
    std::uint8_t* end() const noexcept { return high_ ? out_ : out_ + 1; }

private:
    std::uint8_t* out_;
    bool high_ = true;
};

template <typename T>
double slof_scale(std::span<const T> values) noexcept {
    if (values.empty()) return 0;
    double largest = 1;
    for (const T v : values) largest = std::max(largest, std::log1p(static_cast<double>(v)));
    return std::floor(uint16_max / largest);
}

template <typename T>
Encoded slof(std::span<const T> values, std::uint8_t* out) noexcept {
    for (const T v : values) {
        if (!std::isfinite(v)) return {0, Fault::NotFinite};
        if (!(v >= 0)) return {0, Fault::OutOfRange};
    }
    const double fp = slof_scale(values);
    put_fixed_point(out, fp);
    std::uint8_t* p = out + 8;
    for (const T v : values) {
        // At most uint16_max + 0.5 by the choice of fp.
        const double scaled = std::log1p(static_cast<double>(v)) * fp + 0.5;
        put_le(p, static_cast<std::uint64_t>(std::min(scaled, uint16_max)), 2);
        p += 2;
    }
    return {static_cast<std::size_t>(p - out), Fault::None};
}

}  // namespace

double linear_fixed_point(std::span<const double> values) noexcept {
    const std::size_t n = values.size();
    if (n == 0) return 0;
    // The first value is stored as an unsigned 32-bit integer; later ones
    // only as the error of their extrapolation, which must fit 31 bits.
    if (n == 1) return values[0] > 0 ? std::floor(uint32_max / values[0]) : int31_max;
    double largest = std::max(values[0], values[1]);
    for (std::size_t i = 2; i < n; ++i) {
        const double error = values[i] - (2 * values[i - 1] - values[i - 2]);
        largest = std::max(largest, std::ceil(std::fabs(error) + 1));
    }
    return largest > 0 ? std::floor(int31_max / largest) : int31_max;
}

double slof_fixed_point(std::span<const double> values) noexcept { return slof_scale(values); }
double slof_fixed_point(std::span<const float> values) noexcept { return slof_scale(values); }

Encoded encode_linear(std::span<const double> values, std::uint8_t* out) noexcept {
    // The scheme stores one value in 12 bytes, but decoders in use refuse
    // fewer than 16.
    if (values.size() == 1) return {0, Fault::OneValue};
    for (const double v : values)
        if (!std::isfinite(v)) return {0, Fault::NotFinite};
    const double fp = linear_fixed_point(values);
    if (!(std::isfinite(fp) && (fp > 0 || values.empty()))) return {0, Fault::OutOfRange};
    put_fixed_point(out, fp);
    const std::size_t n = values.size();

    std::int64_t scaled[2] = {0, 0};  // X[i-2], X[i-1]
    for (std::size_t i = 0; i < std::min<std::size_t>(n, 2); ++i) {
        const double s = std::floor(values[i] * fp + 0.5);
        if (!(s >= 0 && s <= uint32_max)) return {0, Fault::OutOfRange};
        scaled[i] = static_cast<std::int64_t>(s);
        put_le(out + 8 + 4 * i, static_cast<std::uint64_t>(scaled[i]), 4);
    }
    if (n == 0) return {8, Fault::None};

    Nibbles nibbles(out + 16);
    for (std::size_t i = 2; i < n; ++i) {
        const double s = std::floor(values[i] * fp + 0.5);
        if (!(std::fabs(s) < scaled_limit)) return {0, Fault::OutOfRange};
        const auto x = static_cast<std::int64_t>(s);
        const std::int64_t error = x - (2 * scaled[1] - scaled[0]);
        if (error < INT32_MIN || error > INT32_MAX) return {0, Fault::OutOfRange};
        nibbles.put_int(static_cast<std::uint32_t>(error));
        scaled[0] = scaled[1];
        scaled[1] = x;
    }
    return {static_cast<std::size_t>(nibbles.end() - out), Fault::None};
}

Encoded encode_slof(std::span<const double> values, std::uint8_t* out) noexcept { return slof(values, out); }
Encoded encode_slof(std::span<const float> values, std::uint8_t* out) noexcept { return slof(values, out); }

}  // namespace tessmoor::core::numpress
