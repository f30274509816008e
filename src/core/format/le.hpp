// Little-endian loads from byte buffers, unaligned-safe.  The callers check
// bounds once per record; these only assemble bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessmoor::core::le {

inline std::uint16_t u16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t u32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The N <= 8 bytes at p as one little-endian integer: record loops that
// look at several fields of a record load it once this way.
template <std::size_t N>
inline std::uint64_t word(const std::uint8_t* p) noexcept {
    static_assert(N <= 8);
    std::uint64_t w = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&w, p, N);
    } else {
        for (std::size_t i = 0; i < N; ++i) w |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    }
    return w;
}

inline float f32(const std::uint8_t* p) noexcept { return std::bit_cast<float>(u32(p)); }

}  // namespace tessmoor::core::le
