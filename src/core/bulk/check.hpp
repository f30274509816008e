// Runs as they are found: which scans of a function cannot be read, and
// what a function's readable scans hold that no sound acquisition writes.
//
// A read of many scans fails on its first bad scan.  A truncated or damaged
// run still holds good scans, and a user needs to know which are which:
// find_bad_scans() looks at every scan the way a read would, from the
// scan's range and its first and last records, without decoding it, so
// that reads can leave the bad ones out; check_function() adds what the
// decoded values say.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/access/function_reader.hpp"
#include "core/bulk/parallel.hpp"
#include "core/bulk/selection.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

// A scan a read would fail on, and the failure it would report.
struct BadScan {
    std::uint64_t scan = 0;
    Status status;
};

// The scans among `scans` (of a function whose index is loaded) that the
// reading `encoding` refuses: a range past the end of the DAT, or records
// the decoder's checks reject.  In the order of `scans`.  A file that
// changes under the search is a failure of the call, not a bad scan.
Result<std::vector<BadScan>> find_bad_scans(const FunctionReader& f, std::span<const std::uint64_t> scans,
                                            Encoding encoding, unsigned threads, const Interrupt* interrupt);

// `scans` without the bad ones.
std::vector<std::uint64_t> without_bad_scans(std::span<const std::uint64_t> scans, const std::vector<BadScan>& bad);

// The scans a selection names (select_scans) and, when it skips bad scans,
// those of them left out for the reading `encoding`.
struct Selected {
    std::vector<std::uint64_t> scans;
    std::vector<BadScan> skipped;
};
Result<Selected> select_readable(const FunctionReader& f, const ScanSelection& selection, Encoding encoding,
                                 unsigned threads, const Interrupt* interrupt);

// A whole call over the selected scans of a function: opened for spectra
// (again, once, when a file changed under the first attempt), its index
// loaded, the scans selected for the reading `ims`, and read(f, scans) run;
// the scans left out go to the result's `skipped`.
template <class R, class Read>
Result<R> read_selected(const Run& run, std::uint32_t func, const ScanSelection& selection, bool ims,
                        unsigned threads, const Interrupt* interrupt, Read&& read) {
    return guarded([&] {
        return with_function(run, func, FunctionReader::Purpose::Spectra, [&](FunctionReader& f) -> Result<R> {
            TESSMOOR_RETURN_IF_ERROR(f.load_index());
            TESSMOOR_ASSIGN_OR_RETURN(
                Selected selected,
                select_readable(f, selection, encoding_for(f.variant(), ims), threads, interrupt));
            TESSMOOR_ASSIGN_OR_RETURN(R out, read(f, selected.scans));
            out.skipped = std::move(selected.skipped);
            return out;
        });
    });
}

struct ScanProblem {
    enum class Kind : std::uint8_t {
        OutOfBounds,       // its range lies past the end of the DAT
        Undecodable,       // the decoder refuses its records
        MzOutOfRange,      // an m/z outside the function's range by more than the range's width
        DriftBeyondScan,   // a drift time beyond the function's scan time
        RtBackwards,       // a retention time below the previous scan's
    };
    Kind kind = Kind::Undecodable;
    std::uint64_t scan = 0;
    std::string message;
};

struct FunctionCheck {
    std::uint64_t scan_count = 0;
    bool drift_times = false;
    std::vector<ScanProblem> problems;  // by scan, then kind
};

// Every scan of a function looked at: bad scans, then the decoded values of
// the others (with drift times where the function has them, so that their
// m/z are the ion-mobility reading's).  A function whose files are missing,
// unreadable or whose index is malformed fails as its reads would.
Result<FunctionCheck> check_function(const Run& run, std::uint32_t func, unsigned threads,
                                     const Interrupt* interrupt);

}  // namespace tessmoor::core
