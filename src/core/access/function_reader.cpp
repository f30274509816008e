#include "core/access/function_reader.hpp"

#include <algorithm>
#include <cerrno>

namespace tessmoor::core {

namespace {

// A file of the function, opened and adopted as a Source: regular files
// stay open for ranged reads; anything else (a directory, a pipe, a
// device) is read whole, as a whole read would read it, so that errors
// (EISDIR for a directory) and contents agree.  A regular file whose status
// says 0 bytes is read whole too: pseudo-files (/proc) report 0 yet have
// content, and for a truly empty file the whole read costs nothing.
bool read_whole(const OpenFile& file) { return !file.is_regular() || file.size() == 0; }

}  // namespace

Result<std::span<const std::uint8_t>> FunctionReader::Source::bytes(std::uint64_t offset, std::uint64_t len,
                                                                    Bytes& scratch) const {
    if (offset + len <= held.size()) return std::span<const std::uint8_t>(held.data() + offset, len);
    scratch.resize(static_cast<std::size_t>(len));
    TESSMOOR_RETURN_IF_ERROR(file->read_at(offset, scratch));
    return std::span<const std::uint8_t>(scratch);
}

Status FunctionReader::Source::hold_head(std::uint64_t end) {
    const std::size_t have = held.size();
    if (end <= have) return Status::OK();
    // A head that grows a second time is likely to grow to the end (a
    // Variant B index of ambiguous size is read whole): room for all of it
    // at once, rather than copies at every step.
    if (have > 0) held.reserve(static_cast<std::size_t>(size));
    held.resize(static_cast<std::size_t>(end));
    Status read = file->read_at(have, std::span(held).subspan(have));
    if (!read.ok()) held.resize(have);
    return read;
}

Result<FunctionReader> FunctionReader::open(const Run& run, std::uint32_t func, Purpose purpose) {
    FunctionReader f;
    f.func_ = func;
    auto fail = [func](Status s) { return std::move(s).in_function(func); };

    if (purpose == Purpose::Spectra || run.policy.listed_only) {
        TESSMOOR_ASSIGN_OR_RETURN(const FunctionInfo info, run.get_function(func));
        f.calibration_ = TofCalibration::build(info, run.header, run.extern_inf, func);
    }
    const auto special = run.policy.refuse_special_files ? OpenFile::Special::Refuse : OpenFile::Special::Open;

    f.idx_.path = join_path(run.path, func_file_name(func, ".IDX"));
    f.idx_.role = FileRole::Index;
    f.dat_.path = join_path(run.path, func_file_name(func, ".DAT"));
    f.dat_.role = FileRole::Data;

    // Failures are reported as if both files' existence were tested before
    // either is read: a missing index, then a missing DAT, then whatever
    // else keeps the index from being read, then the DAT.  The files are
    // opened straight away, and the status queries that order asks for are
    // made only when an open fails.
    auto idx = OpenFile::open(f.idx_.path, FileRole::Index, special);
    if (!idx) {
        if (!path_exists(f.idx_.path)) return fail(Status::not_found(f.idx_.path, FileRole::Index));
        if (!path_exists(f.dat_.path)) return fail(Status::not_found(f.dat_.path, FileRole::Data));
        return fail(std::move(idx).status());
    }
    auto dat = OpenFile::open(f.dat_.path, FileRole::Data, special);
    if (!dat) {
        if (!path_exists(f.dat_.path)) return fail(Status::not_found(f.dat_.path, FileRole::Data));
        if (read_whole(*idx)) {
            auto whole = idx->read_all();
            if (!whole) return fail(std::move(whole).status());
        }
        return fail(std::move(dat).status());
    }

    for (auto [source, file] : {std::pair{&f.idx_, &*idx}, std::pair{&f.dat_, &*dat}}) {
        source->identity = file->identity();
        if (read_whole(*file)) {
            auto whole = file->read_all();
            if (!whole) return fail(std::move(whole).status());
            source->held = std::move(whole).value();
            source->size = source->held.size();
        } else {
            source->size = file->size();
        }
    }
    if (!read_whole(*idx)) f.idx_.file.emplace(std::move(idx).value());
    if (!read_whole(*dat)) f.dat_.file.emplace(std::move(dat).value());
    // A failed whole read names its file already; add the function.
    TESSMOOR_RETURN_IF_ERROR(fail(f.decide_variant()));
    return f;
}

Status FunctionReader::decide_variant() {
    auto variant = variant_for_size(idx_.size);
    if (!variant) return std::move(variant).status().in_file(idx_.path, FileRole::Index);
    variant_ = *variant;
    if (fits_both_variants(idx_.size)) {
        // Read from the start in blocks until the variant is settled (see
        // AmbiguousIndex).  The first block, about 4 KiB, settles a real
        // Variant A index; a Variant B index must be read to its end, and
        // doubling blocks keep that to a few reads.  What was read stays
        // held for the reads of index records that follow.
        AmbiguousIndex resolver(dat_.size);
        std::uint64_t done = 0;
        std::uint64_t block = 12 * both_variants_unit;
        while (done < idx_.size) {
            const std::uint64_t end = std::min(idx_.size, done + block);
            TESSMOOR_RETURN_IF_ERROR(idx_.hold_head(end));
            if (resolver.feed(std::span<const std::uint8_t>(idx_.held).subspan(done, end - done))) break;
            done = end;
            block *= 2;
        }
        variant_ = resolver.variant();
    }
    scan_count_ = idx_.size / record_size(variant_);
    return Status::OK();
}

Status FunctionReader::check_reading(bool ims) const {
    if (ims && variant_ == IndexVariant::A)
        // The index's record size decides: name the index.
        return Status::not_ims().in_file(idx_.path, FileRole::Index).in_function(func_);
    return Status::OK();
}

Result<std::uint64_t> FunctionReader::scan_number(std::uint64_t magnitude, bool negative) const {
    if (negative ? magnitude > scan_count_ : magnitude >= scan_count_)
        return Status::scan_out_of_range(magnitude, negative, scan_count_)
            .in_file(idx_.path, FileRole::Index)
            .in_function(func_);
    return negative ? scan_count_ - magnitude : magnitude;
}

Result<ScanEntry> FunctionReader::entry(std::uint64_t i) const {
    if (index_) return ScanEntry{rt_min(i), range(i)};
    // A Variant B scan ends where the next one starts: its record and the
    // next one's, unless it is the last.
    const std::uint64_t rs = record_size(variant_);
    const bool last = i + 1 == scan_count_;
    const std::uint64_t len = variant_ == IndexVariant::B && !last ? 2 * rs : rs;
    Bytes scratch;
    TESSMOOR_ASSIGN_OR_RETURN(const auto rec, idx_.bytes(i * rs, len, scratch));
    if (variant_ == IndexVariant::A) {
        const ScanEntryA e = parse_entry_a(rec.data());
        return ScanEntry{static_cast<double>(e.rt_min), scan_range_a(e, dat_.size)};
    }
    const ScanEntryB e = parse_entry_b(rec.data());
    std::uint32_t next = 0;
    if (!last) next = parse_entry_b(rec.data() + rs).offset;
    return ScanEntry{static_cast<double>(e.rt_min), scan_range_b(e.offset, last ? nullptr : &next, dat_.size)};
}

Status FunctionReader::load_index() {
    if (index_) return Status::OK();
    TESSMOOR_RETURN_IF_ERROR(std::move(idx_.hold_head(idx_.size)).in_function(func_));
    if (variant_ == IndexVariant::A)
        index_.emplace(parse_variant_a(idx_.held));
    else
        index_.emplace(parse_variant_b(idx_.held));
    // The parsed entries serve from now on.
    Bytes().swap(idx_.held);
    return Status::OK();
}

Result<std::span<const std::uint8_t>> FunctionReader::read(std::uint64_t offset,
                                                           std::span<std::uint8_t> out) const {
    if (offset + out.size() <= dat_.held.size())
        return std::span<const std::uint8_t>(dat_.held.data() + offset, out.size());
    Status read = dat_.file->read_at(offset, out);
    if (!read.ok()) return std::move(read).in_function(func_);
    return std::span<const std::uint8_t>(out);
}

Status FunctionReader::check_unchanged() const {
    for (const Source* s : {&idx_, &dat_}) {
        auto now = path_identity(s->path, s->role);
        // A file held whole was read once, at opening; only its being
        // replaced since tells.
        const bool changed = !now || (s->file ? changed_since(s->identity, *now)
                                                 : now->device != s->identity.device ||
                                                       now->inode != s->identity.inode);
        if (changed) return Status::file_changed(s->path, s->role).in_function(func_);
    }
    return Status::OK();
}

Result<FunctionFacts> describe_function(const Run& run, std::uint32_t func) {
    return guarded([&] {
        return with_function(run, func, FunctionReader::Purpose::Index, [](FunctionReader& f) -> Result<FunctionFacts> {
            return FunctionFacts{f.scan_count(), f.variant(), f.dat_size()};
        });
    });
}

}  // namespace tessmoor::core
