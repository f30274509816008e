#include "raw/function_reader.hpp"

#include <cstring>
#include <utility>

namespace tessmoor::raw {

namespace {

// An index whose size fits both layouts (a positive multiple of 330) is
// Variant A by its size alone; it is read as Variant B only when the
// 30-byte reading is consistent (offsets never decrease and lie within the
// DAT data) and the 22-byte reading is impossible (some scan ends past the
// DAT data).  The 30-byte reading is tested first: a true 22-byte index
// fails it within a few records.
IndexLayout resolve_ambiguous(std::span<const std::uint8_t> bytes, std::uint64_t dat_size) {
    std::uint64_t previous = 0;
    for (std::size_t k = 0; k + VariantB::record_size <= bytes.size(); k += VariantB::record_size) {
        const std::uint64_t offset = parse_entry_b(bytes.data() + k).offset;
        if (offset < previous || offset > dat_size) return IndexLayout::A;
        previous = offset;
    }
    for (std::size_t k = 0; k + VariantA::record_size <= bytes.size(); k += VariantA::record_size) {
        if (scan_range_a(parse_entry_a(bytes.data() + k), dat_size).kind == ScanRange::Kind::OutOfBounds)
            return IndexLayout::B;
    }
    return IndexLayout::A;
}

}  // namespace

Expected<FunctionReader, Failure> FunctionReader::open(const Run& run, std::uint32_t func_index,
                                                       Purpose purpose) {
    FunctionReader f;
    f.func_index_ = func_index;
    auto fail = [func_index](Failure failure) { return std::move(failure).in_function(func_index); };

    if (purpose == Purpose::Spectra) {
        auto function = run.get_function(func_index);
        if (!function) return std::move(function).error();
        f.calibration_ = TofCalibration::build(*function, run.header, run.extern_inf, func_index);
    }

    f.idx_path_ = join_path(run.path, func_file_name(func_index, ".IDX"));
    f.dat_path_ = join_path(run.path, func_file_name(func_index, ".DAT"));
    // Both existence tests come before any read, so a function lacking both
    // files reports the index.
    if (!path_exists(f.idx_path_)) return fail(Failure::of(Failure::Kind::IdxMissing, f.idx_path_));
    if (!path_exists(f.dat_path_)) return fail(Failure::of(Failure::Kind::DatMissing, f.dat_path_));

    auto idx = OpenFile::open(f.idx_path_);
    if (!idx) return fail(Failure::os(idx.error().code, f.idx_path_));
    auto dat = OpenFile::open(f.dat_path_);
    if (!dat) return fail(Failure::os(dat.error().code, f.dat_path_));

    auto idx_bytes = idx->read_all();
    if (!idx_bytes) return fail(Failure::os(idx_bytes.error().code, f.idx_path_));
    if (auto id = idx->identity(); id && idx->is_regular()) f.idx_identity_ = *id;

    // Directories, pipes and devices, and regular files whose status says 0
    // bytes (pseudo-files), are read whole, as the scan queries read them.
    if (!dat->is_regular() || dat->size() == 0) {
        auto whole = dat->read_all();
        if (!whole) return fail(Failure::os(whole.error().code, f.dat_path_));
        f.dat_whole_ = std::move(whole).value();
        f.dat_size_ = f.dat_whole_.size();
    } else {
        auto id = dat->identity();
        if (!id) return fail(Failure::os(id.error().code, f.dat_path_));
        f.dat_identity_ = *id;
        f.dat_size_ = dat->size();
        f.dat_file_.emplace(std::move(dat).value());
    }

    auto layout = layout_for_size(idx_bytes->size());
    if (!layout) return fail(Failure::format(std::move(layout).error(), f.idx_path_));
    constexpr std::uint64_t both = VariantA::record_size * VariantB::record_size / 2;  // 330
    if (!idx_bytes->empty() && idx_bytes->size() % both == 0)
        *layout = resolve_ambiguous(*idx_bytes, f.dat_size_);
    if (*layout == IndexLayout::A)
        f.index_ = ScanIndex(parse_variant_a(*idx_bytes));
    else
        f.index_ = ScanIndex(parse_variant_b(*idx_bytes));
    return f;
}

Expected<std::span<const std::uint8_t>, Failure> FunctionReader::read(std::uint64_t offset,
                                                                      std::span<std::uint8_t> out) const {
    if (!dat_file_) {
        return std::span<const std::uint8_t>(dat_whole_.data() + offset, out.size());
    }
    auto done = dat_file_->read_at(offset, out);
    if (!done) return Failure::os(done.error().code, dat_path_).in_function(func_index_);
    if (!*done) return failure(Failure::Kind::FileChanged);
    return std::span<const std::uint8_t>(out);
}

void FunctionReader::prefetch(std::uint64_t offset, std::uint64_t len) const noexcept {
    if (dat_file_) dat_file_->prefetch(offset, len);
}

Expected<bool, Failure> FunctionReader::check_unchanged() const {
    if (idx_identity_.inode != 0 || idx_identity_.device != 0) {
        auto now = path_identity(idx_path_);
        if (!now || changed_since(idx_identity_, *now)) {
            Failure f = failure(Failure::Kind::FileChanged);
            f.file = idx_path_;
            return f;
        }
    }
    if (dat_identity_) {
        auto open_now = dat_file_->identity();
        auto path_now = path_identity(dat_path_);
        if (!open_now || !path_now || changed_since(*dat_identity_, *open_now) ||
            changed_since(*dat_identity_, *path_now))
            return failure(Failure::Kind::FileChanged);
    }
    return true;
}

Failure FunctionReader::failure(Failure::Kind kind) const {
    return Failure::of(kind, dat_path_).in_function(func_index_);
}

}  // namespace tessmoor::raw
