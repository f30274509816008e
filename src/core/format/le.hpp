// Little-endian loads from byte buffers, unaligned-safe.  The callers check
// bounds once per record; these only assemble bytes.
#pragma once

#include <bit>
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

inline float f32(const std::uint8_t* p) noexcept { return std::bit_cast<float>(u32(p)); }

}  // namespace tessmoor::core::le
