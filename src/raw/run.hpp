// The reader's core over one .raw directory: opening (the metadata files,
// parsed once, in a fixed order) and the queries that re-read the
// per-function and per-channel files on every call.  No Python here: a
// failure is a Failure value that the Python layer turns into an exception.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "raw/chroms.hpp"
#include "raw/data.hpp"
#include "raw/error.hpp"
#include "raw/extern_inf.hpp"
#include "raw/functions_inf.hpp"
#include "raw/header.hpp"

namespace tessmoor::raw {

// How a failed query or constructor reaches the caller.  All three become a
// RuntimeError at the Python boundary, with different texts:
//   Message: the reader's own check, its text as it stands
//            ("function 7 not found", "scan 5 out of range", ...);
//   Os:      a failed read of an existing _FUNCnnn.IDX / .DAT file, shown as
//            the bare OS error text;
//   Wrapped: an Error from a parser or reader of a format file, shown as
//            "I/O error: ..." or "parse error: ...".
struct Failure {
    enum class Kind : std::uint8_t { Message, Os, Wrapped };
    Kind kind;
    std::string message;  // Message
    int os_errno = 0;     // Os
    std::optional<Error> error;  // Wrapped

    static Failure msg(std::string m) { return Failure{Kind::Message, std::move(m), 0, std::nullopt}; }
    static Failure os(int e) { return Failure{Kind::Os, {}, e, std::nullopt}; }
    static Failure wrap(Error e) { return Failure{Kind::Wrapped, {}, 0, std::move(e)}; }

    // The text the Python exception carries.
    std::string text() const;
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
};

// "_FUNC" + func_index zero-padded to at least three digits + suffix.
std::string func_file_name(std::uint32_t func_index, const char* suffix);

}  // namespace tessmoor::raw
