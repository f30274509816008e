// _HEADER.TXT: acquisition names and one calibration line per function.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.hpp"

namespace tessmoor::core {

enum class CalibrationKind : std::uint8_t { T0 = 0, T1 = 1 };

struct Calibration {
    std::vector<double> coefficients;  // constant term first
    CalibrationKind kind = CalibrationKind::T0;
};

struct Header {
    std::optional<std::string> version;
    std::optional<std::string> acquired_name;
    std::optional<std::string> acquired_date;
    std::optional<std::string> acquired_time;
    std::optional<std::string> instrument;
    std::optional<std::string> user_name;
    std::optional<std::string> sample_description;
    std::map<std::uint32_t, Calibration> calibrations;  // by 1-based function number

    static Result<Header> from_str(std::string_view text);
    static Result<Header> from_path(const std::string& path);
};

}  // namespace tessmoor::core
