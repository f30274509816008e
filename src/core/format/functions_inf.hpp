// _FUNCTNS.INF: one 416-byte little-endian record per acquisition function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/status.hpp"

namespace tessmoor::core {

struct FunctionInfo {
    std::uint32_t index = 0;  // 1-based position in the file
    std::uint8_t function_type = 0;
    std::uint8_t scan_subtype = 0;
    float cycle_time_s = 0.0f;
    float interscan_delay_s = 0.0f;
    float scan_time_s = 0.0f;
    std::uint16_t tof_depth = 0;
    float mz_low = 0.0f;
    float mz_high = 0.0f;

    bool is_lock_mass() const noexcept { return (scan_subtype & 0x80u) != 0; }
};

struct FunctionTable {
    static constexpr std::size_t record_size = 416;

    std::vector<FunctionInfo> functions;

    static Result<FunctionTable> from_bytes(std::span<const std::uint8_t> bytes);
    static Result<FunctionTable> from_path(const std::string& path);
};

}  // namespace tessmoor::core
