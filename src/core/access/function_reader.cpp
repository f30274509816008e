#include "core/access/function_reader.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

namespace tessmoor::core {

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
    // A missing file is told from the failure to open it (the index first),
    // without a status query before.
    auto opened = [&](const std::string& path, Failure::Kind missing) -> Expected<OpenFile, Failure> {
        auto file = OpenFile::open(path);
        if (file) return std::move(file).value();
        if (file.error().code == ENOENT) return fail(Failure::of(missing, path));
        return fail(Failure::os(file.error().code, path));
    };
    auto idx = opened(f.idx_path_, Failure::Kind::IdxMissing);
    if (!idx) return std::move(idx).error();
    auto dat = opened(f.dat_path_, Failure::Kind::DatMissing);
    if (!dat) return std::move(dat).error();

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

    // The rule of the scan queries, sizes that fit both layouts included.
    auto layout = resolve_layout(*idx_bytes, f.dat_size_);
    if (!layout) return fail(Failure::format(std::move(layout).error(), f.idx_path_));
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

}  // namespace tessmoor::core
