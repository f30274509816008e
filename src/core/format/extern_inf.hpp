// _extern.inf: instrument constants and per-function settings.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/status.hpp"

namespace tessmoor::core {

struct FunctionParameters {
    std::optional<double> adc_pusher_frequency;
    double start_mass = 0.0;
    double end_mass = 0.0;
    std::uint32_t function = 0;
};

struct ExternInf {
    double lteff = 0.0;            // effective flight length, millimetres
    double veff = 0.0;             // effective acceleration voltage, volts
    double pusher_interval = 0.0;
    std::map<std::uint32_t, FunctionParameters> function_parameters;

    static Result<ExternInf> from_str(std::string_view text);
    static Result<ExternInf> from_path(const std::string& path);
};

}  // namespace tessmoor::core
