// Chromatographic channels: the channel table _CHROMS.INF (Windows-1252
// names with an optional "$CC$" spec string) and the per-channel sample
// files _CHROnnn.DAT.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/status.hpp"

namespace tessmoor::core {

struct ChromChannel {
    std::uint64_t index = 0;
    std::uint32_t source_type = 0;
    std::string name;
    double scale_f = 1.0;
    std::string units;
};

struct ChromsInf {
    std::vector<ChromChannel> channels;

    static Result<ChromsInf> from_bytes(std::span<const std::uint8_t> bytes);
    static Result<ChromsInf> from_path(const std::string& path);
};

struct ChromPoint {
    float rt_min = 0.0f;
    float value = 0.0f;
};

Result<std::vector<ChromPoint>> parse_chro_bytes(std::span<const std::uint8_t> bytes);
Result<std::vector<ChromPoint>> read_chro_dat(const std::string& path);

// Every byte becomes one character (WHATWG windows-1252 index; the five
// unassigned bytes map to the C1 control of the same number).  UTF-8 out.
std::string decode_windows_1252(std::span<const std::uint8_t> bytes);

// "_CHRO" + (channel_index + 3) in decimal, zero-padded to at least three
// digits, + ".DAT".  The sum is exact: it never wraps around 2^64.
std::string chro_file_name(std::uint64_t channel_index);

}  // namespace tessmoor::core
