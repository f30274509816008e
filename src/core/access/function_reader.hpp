// One function of a run, opened once for reads of many scans.
//
// The scan queries of Run open both files of a function on every call and
// read an index record or two.  A bulk read instead opens them once: the
// index is read whole and its layout decided once (by the same rules), the
// calibration is built once, and scan byte ranges are answered from memory.
// The DAT stays on disk and is read with pread, so a file that shrinks under
// a read gives a short read, never a fault; nothing is mapped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/decode/encodings.hpp"
#include "core/status.hpp"
#include "core/io/file.hpp"
#include "core/format/index.hpp"
#include "core/access/run.hpp"

namespace tessmoor::core {

class FunctionReader {
public:
    // What the read is for.  Spectra look the function up in the function
    // table first (as read_spectrum does) and build its calibration; scan
    // counts and retention times need neither (as n_scans does).
    enum class Purpose : std::uint8_t { Index, Spectra };

    // The checks and reads of a scan query, in its order: function lookup
    // (Spectra only), IDX and DAT existence, both opened and read (the DAT
    // only when it is not a regular file), the index parsed and its layout
    // decided.
    static Expected<FunctionReader, Failure> open(const Run& run, std::uint32_t func_index,
                                                  Purpose purpose);

    std::uint32_t func_index() const noexcept { return func_index_; }
    const std::string& idx_path() const noexcept { return idx_path_; }
    const std::string& dat_path() const noexcept { return dat_path_; }

    IndexLayout layout() const noexcept { return index_.is_variant_a() ? IndexLayout::A : IndexLayout::B; }
    std::uint64_t size() const noexcept { return index_.size(); }
    std::uint64_t dat_size() const noexcept { return dat_size_; }
    // i below size().
    double rt_min(std::uint64_t i) const { return index_.rt_min(static_cast<std::size_t>(i)); }
    ScanRange range(std::uint64_t i) const { return index_.byte_range(static_cast<std::size_t>(i), dat_size_); }

    // Only for Purpose::Spectra.
    const TofCalibration& calibration() const noexcept { return calibration_; }

    // Bytes [offset, offset + out.size()) of the DAT, which lie within
    // dat_size(); FileChanged when the file ended early (it shrank).
    // Safe to call from several threads at once.
    Expected<std::span<const std::uint8_t>, Failure> read(std::uint64_t offset,
                                                          std::span<std::uint8_t> out) const;
    // A hint that [offset, offset + len) of the DAT will be read soon.
    void prefetch(std::uint64_t offset, std::uint64_t len) const noexcept;

    // FileChanged when either file was replaced or changed (in size or
    // modification time) since it was opened: what was read may pair an
    // index with data it does not describe, or mix old and new data.
    Expected<bool, Failure> check_unchanged() const;

    // A failure concerning this function (and the DAT, unless a file is
    // given).
    Failure failure(Failure::Kind kind) const;

private:
    FunctionReader() = default;

    std::uint32_t func_index_ = 0;
    std::string idx_path_;
    std::string dat_path_;
    ScanIndex index_{VariantA{}};
    TofCalibration calibration_;
    std::optional<OpenFile> dat_file_;  // absent when the DAT is held whole
    Bytes dat_whole_;
    std::uint64_t dat_size_ = 0;
    FileIdentity idx_identity_;
    std::optional<FileIdentity> dat_identity_;
};

}  // namespace tessmoor::core
