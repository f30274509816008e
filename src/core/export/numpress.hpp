// MS-Numpress encoders: the lossy compressions of mzML binary arrays that
// mzML readers decode (PSI-MS terms MS:1002312 and MS:1002314).
//
// Both schemes store numbers as integers after scaling them by a "fixed
// point", a float64 written big-endian in the first 8 bytes:
//
//   linear prediction (m/z, drift times): x[i] rounded to an integer X[i] =
//     round(x[i] * fp); X[0] and X[1] as 4-byte little-endian unsigned
//     integers, then for every later value the difference between X[i] and
//     its linear extrapolation 2 X[i-1] - X[i-2], a 32-bit signed integer
//     written in half-bytes: one half-byte n giving how many leading
//     half-bytes are 0 (n = 0..8) or 0xF (n - 8, n = 9..15), then the other
//     half-bytes, least significant first.  Half-bytes fill each byte from
//     its high half; an odd count ends with a 0 half-byte.  A value read
//     back lies within 0.5 / fp of the original.
//   short logged float (intensities): log(x + 1) * fp rounded to a 2-byte
//     little-endian unsigned integer.  x + 1 read back lies within a factor
//     exp(0.5 / fp) of the original.
//
// The fixed points are chosen for the finest resolution the integers allow:
// the largest extrapolation error (and the first two values) fill 31 bits,
// the largest logarithm 16 bits.
//
// Values a scheme cannot hold (NaN, infinities, negative numbers where the
// scheme needs positive ones, ranges beyond its integers, a lone value for
// linear prediction) are reported, not encoded: the caller then stores that
// array another way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessmoor::core::numpress {

// What an encoder gives: the bytes written, or why it wrote none.
enum class Fault : std::uint8_t {
    None,
    NotFinite,   // a NaN or an infinity
    OutOfRange,  // a value the scheme's integers cannot hold at any scale
    OneValue,    // linear prediction of a single value, which not every decoder reads
};

struct Encoded {
    std::size_t size = 0;
    Fault fault = Fault::None;
};

// The most bytes the encoding of `count` values can take.
constexpr std::size_t linear_room(std::size_t count) noexcept {
    return count < 2 ? 8 + 4 * count : 16 + (9 * (count - 2) + 1) / 2;
}
constexpr std::size_t slof_room(std::size_t count) noexcept { return 8 + 2 * count; }

// The fixed points the encoders use (0 for no values; not finite when the
// values leave the scheme no scale).
double linear_fixed_point(std::span<const double> values) noexcept;
double slof_fixed_point(std::span<const double> values) noexcept;
double slof_fixed_point(std::span<const float> values) noexcept;

// The values encoded into out, which holds linear_room(values.size()) or
// slof_room(values.size()) bytes.
Encoded encode_linear(std::span<const double> values, std::uint8_t* out) noexcept;
Encoded encode_slof(std::span<const double> values, std::uint8_t* out) noexcept;
Encoded encode_slof(std::span<const float> values, std::uint8_t* out) noexcept;

}  // namespace tessmoor::core::numpress
