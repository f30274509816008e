// The reader's core over one .raw directory: opening (the metadata files,
// parsed once, in a fixed order) and the queries that re-read the
// per-function and per-channel files on every call.  No Python here: a
// failure is a Failure value (error.hpp) that the Python layers turn into
// exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/io/buffer.hpp"
#include "core/format/chroms.hpp"
#include "core/decode/encodings.hpp"
#include "core/status.hpp"
#include "core/format/extern_inf.hpp"
#include "core/format/functions_inf.hpp"
#include "core/format/header.hpp"

namespace tessmoor::core {

// One scan as the bulk layer reads it: its number counted from the start,
// its retention time and its peaks (drift times only for an ion-mobility
// read).
struct ScanRead {
    std::uint64_t scan = 0;
    double rt_min = 0.0;
    Array<double> mz;
    Array<float> intensity;
    Array<double> drift_time_ms;
};

struct Run {
    std::string path;  // exactly as the caller gave it
    Header header;
    ExternInf extern_inf;
    FunctionTable function_table;
    std::optional<ChromsInf> chroms_inf;

    // Directory test, then _HEADER.TXT, _extern.inf, _FUNCTNS.INF and, when a
    // status query on it succeeds, _CHROMS.INF.  The first failure wins.
    static Expected<Run, Failure> open(std::string path);

    // First function-table entry whose index is func_index.
    Expected<FunctionInfo, Failure> get_function(std::uint32_t func_index) const;

    Expected<std::uint64_t, Failure> n_scans(std::uint32_t func_index) const;
    Expected<double, Failure> retention_time(std::uint32_t func_index, std::uint64_t scan_index) const;
    Expected<Spectrum, Failure> read_spectrum(std::uint32_t func_index, std::uint64_t scan_index) const;
    Expected<ImsSpectrum, Failure> read_ims_spectrum(std::uint32_t func_index,
                                                     std::uint64_t scan_index) const;
    Expected<std::vector<ChromPoint>, Failure> read_chrom(std::uint64_t channel_index) const;

    // read_spectrum, or with `ims` read_ims_spectrum, of a scan that counts
    // from the end when negative, reading what those queries read, with the
    // scan's retention time.  A missing file is found by opening it rather
    // than by a status query first: an IDX that exists but cannot be opened
    // is reported even when the DAT is missing too.
    Expected<ScanRead, Failure> read_scan(std::uint32_t func_index, std::int64_t scan, bool ims) const;
};

// "_FUNC" + func_index zero-padded to at least three digits + suffix.
std::string func_file_name(std::uint32_t func_index, const char* suffix);

}  // namespace tessmoor::core
