// A .raw directory opened: its metadata files parsed once, in a fixed
// order, and the queries of the module tessmoor, each a one-scan read
// through the function reader (function_reader.hpp).  No Python here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/decode/encodings.hpp"
#include "core/format/chroms.hpp"
#include "core/format/extern_inf.hpp"
#include "core/format/functions_inf.hpp"
#include "core/format/header.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

// One scan read: its number counted from the start, its retention time and
// its peaks (drift times only for an ion-mobility read).
struct ScanRead {
    std::uint64_t scan = 0;
    double rt_min = 0.0;
    Peaks peaks;
};

// How strictly reads take what they find.  The module tessmoor answers for
// any function that has files and reads any file whole when it cannot be
// read at offsets (a pipe then waits for its writer); tessmoor_bulk answers
// only for the functions and channels the run's tables list, and refuses
// files it cannot read at offsets rather than block or read without end.
struct ReadPolicy {
    bool listed_only = false;
    bool refuse_special_files = false;
};

struct Run {
    std::string path;  // exactly as the caller gave it
    Header header;
    ExternInf extern_inf;
    FunctionTable function_table;
    std::optional<ChromsInf> chroms_inf;
    ReadPolicy policy;

    // Directory test, then _HEADER.TXT, _extern.inf, _FUNCTNS.INF and, when a
    // status query on it succeeds, _CHROMS.INF.  The first failure wins.
    static Result<Run> open(std::string path);

    // First function-table entry whose index is func_index.
    Result<FunctionInfo> get_function(std::uint32_t func_index) const;

    Result<std::uint64_t> n_scans(std::uint32_t func_index) const;
    Result<double> retention_time(std::uint32_t func_index, std::uint64_t scan_index) const;
    Result<Spectrum> read_spectrum(std::uint32_t func_index, std::uint64_t scan_index) const;
    Result<ImsSpectrum> read_ims_spectrum(std::uint32_t func_index, std::uint64_t scan_index) const;
    Result<std::vector<ChromPoint>> read_chrom(std::uint64_t channel_index) const;

    // The scan `magnitude` of a function, or counted from the end when
    // `negative`, with the ion-mobility reading when `ims`: what
    // read_spectrum and read_ims_spectrum read, with the scan's number and
    // retention time.
    Result<ScanRead> read_scan(std::uint32_t func_index, std::uint64_t magnitude, bool negative, bool ims) const;
};

// "_FUNC" + func_index zero-padded to at least three digits + suffix.
std::string func_file_name(std::uint32_t func_index, const char* suffix);

}  // namespace tessmoor::core
