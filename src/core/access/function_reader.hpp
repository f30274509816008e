// One function of a run, opened for reading: the one way every read of its
// scans goes, from a one-scan query of the module tessmoor to a whole
// function decoded on many threads.
//
// A function's scans live in two files: _FUNCnnn.IDX, the scan index, and
// _FUNCnnn.DAT, the packed scan records, gigabytes of them.  Opening settles
// once, by one rule each: the file names, which file is missing, how a file
// that is not a regular one is read (whole, as a whole read would), the
// index's variant (the multiple-of-330 rule included), and the calibration.
// The DAT then stays on disk and is read with pread, so a file that shrinks
// under a read gives a short read, never a fault; nothing is mapped.  A
// one-scan read reads the index records it needs; a bulk read loads the
// whole index once.
//
// Files may be replaced or rewritten while they are read (an acquisition
// still writing, a copy landing).  with_function() runs a read, then checks
// that neither file changed since it was opened; if one did, the read runs
// once more on the new files, and a second change is a FileChanged failure.
// So no read ever pairs an index with data it does not describe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "core/access/run.hpp"
#include "core/decode/calibration.hpp"
#include "core/decode/encodings.hpp"
#include "core/format/index.hpp"
#include "core/io/file.hpp"
#include "core/status.hpp"

namespace tessmoor::core {

// A scan's retention time and where its bytes lie in the DAT.
struct ScanEntry {
    double rt_min = 0.0;
    ScanRange range;
};

class FunctionReader {
public:
    // What the read is for.  Spectra look the function up in the function
    // table first and build its calibration; scan counts and retention
    // times need neither, and are answered for any function that has files.
    enum class Purpose : std::uint8_t { Index, Spectra };

    // In this order, the first failure winning: the function-table lookup
    // (Spectra only), then IDX missing, DAT missing, the IDX unreadable, the
    // DAT unreadable, and the index's size.
    static Result<FunctionReader> open(const Run& run, std::uint32_t func, Purpose purpose);

    std::uint32_t func() const noexcept { return func_; }
    const std::string& idx_path() const noexcept { return idx_.path; }
    const std::string& dat_path() const noexcept { return dat_.path; }
    IndexVariant variant() const noexcept { return variant_; }
    // Scans of 30-byte index records carry drift times (Encoding B).
    bool has_drift_times() const noexcept { return variant_ == IndexVariant::B; }
    std::uint64_t scan_count() const noexcept { return scan_count_; }
    std::uint64_t dat_size() const noexcept { return dat_.size; }
    // Only for Purpose::Spectra.
    const TofCalibration& calibration() const noexcept { return calibration_; }

    // NotIms when drift times are asked of a function without them.
    Status check_reading(bool ims) const;
    // The scan numbered `scan`, or counted from the end (-1 the last) when
    // `negative`: its number, or ScanOutOfRange.
    Result<std::uint64_t> scan_number(std::uint64_t magnitude, bool negative) const;

    // Scan i (below scan_count()): from memory once the index is loaded,
    // else from its records on disk.
    Result<ScanEntry> entry(std::uint64_t i) const;

    // Reads the whole index into memory, for reads of many scans.
    Status load_index();
    // After load_index(); i below scan_count().
    double rt_min(std::uint64_t i) const { return index_->rt_min(static_cast<std::size_t>(i)); }
    ScanRange range(std::uint64_t i) const { return index_->byte_range(static_cast<std::size_t>(i), dat_.size); }

    // Bytes [offset, offset + out.size()) of the DAT, which lie within
    // dat_size(): a view of `out`, or of the DAT held in memory.
    // FileChanged when the file ended early.  Safe from several threads.
    Result<std::span<const std::uint8_t>> read(std::uint64_t offset, std::span<std::uint8_t> out) const;

    // FileChanged when a file's path now names another file than the one
    // opened, or that file changed in size or modification time.
    Status check_unchanged() const;

private:
    // One of the two files: open for ranged reads, or held whole in memory
    // (a pipe, a device, a pseudo-file whose status says 0 bytes), and the
    // bytes read from its start so far.
    struct Source {
        std::string path;
        FileRole role = FileRole::None;
        std::optional<OpenFile> file;  // absent when held whole
        Bytes held;                    // the whole content, or a head of `file`
        std::uint64_t size = 0;
        FileIdentity identity;

        // Bytes [offset, offset + len) (within size): from `held` when they
        // lie in it, else read into `scratch`.
        Result<std::span<const std::uint8_t>> bytes(std::uint64_t offset, std::uint64_t len, Bytes& scratch) const;
        // Extends `held` to the first `end` bytes (end <= size).
        Status hold_head(std::uint64_t end);
    };

    FunctionReader() = default;
    Status decide_variant();

    std::uint32_t func_ = 0;
    Source idx_;
    Source dat_;
    IndexVariant variant_ = IndexVariant::A;
    std::uint64_t scan_count_ = 0;
    TofCalibration calibration_;
    std::optional<ScanIndex> index_;
};

// What a function's files say about it, without reading a scan.
struct FunctionFacts {
    std::uint64_t scan_count = 0;
    IndexVariant variant = IndexVariant::A;
    std::uint64_t dat_size = 0;
};

// The facts of any function that has files (the function table is not
// consulted).
Result<FunctionFacts> describe_function(const Run& run, std::uint32_t func);

// Runs body(reader) (returning a Status or a Result) on the function opened
// for `purpose`, then checks that neither file changed.  On a change the
// function is opened afresh and body runs once more; a second change is
// FileChanged.  The result, or failure, of an attempt on files that changed
// under it is never returned.
template <class Body>
auto with_function(const Run& run, std::uint32_t func, FunctionReader::Purpose purpose, Body&& body)
    -> decltype(body(std::declval<FunctionReader&>())) {
    for (int attempt = 0;; ++attempt) {
        auto opened = FunctionReader::open(run, func, purpose);
        if (!opened) return std::move(opened).status();
        FunctionReader& f = *opened;
        auto result = body(f);
        Status unchanged = f.check_unchanged();
        // A short read is a change too, even when the file looks as it did.
        const bool short_read = failed_with(result, StatusKind::FileChanged);
        if (unchanged.ok() && !short_read) return result;
        if (attempt > 0) {
            if (unchanged.ok()) return result;
            return std::move(unchanged).in_function(func);
        }
    }
}

}  // namespace tessmoor::core
