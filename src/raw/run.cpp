#include "raw/run.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "raw/file.hpp"
#include "raw/index.hpp"

namespace tessmoor::raw {

std::string Failure::text() const {
    switch (kind) {
        case Kind::Message: return message;
        case Kind::Os: return os_error_text(os_errno);
        case Kind::Wrapped: return error ? error->text() : std::string();
    }
    return message;
}

std::string func_file_name(std::uint32_t func_index, const char* suffix) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "_FUNC%03u%s", static_cast<unsigned>(func_index), suffix);
    return buf;
}

// ---------------------------------------------------------------------------
// Opening

Expected<Run, Failure> Run::open(std::string path) {
    if (!is_directory(path)) return Failure::msg("'" + path + "' is not a directory");

    auto header = Header::from_path(join_path(path, "_HEADER.TXT"));
    if (!header) return Failure::wrap(std::move(header).error());
    auto extern_inf = ExternInf::from_path(join_path(path, "_extern.inf"));
    if (!extern_inf) return Failure::wrap(std::move(extern_inf).error());
    auto table = FunctionTable::from_path(join_path(path, "_FUNCTNS.INF"));
    if (!table) return Failure::wrap(std::move(table).error());

    // The channel table is optional: a failed status query (missing file,
    // dangling link) means "no channels"; anything that exists must parse.
    std::optional<ChromsInf> chroms;
    const std::string chroms_path = join_path(path, "_CHROMS.INF");
    if (path_exists(chroms_path)) {
        auto parsed = ChromsInf::from_path(chroms_path);
        if (!parsed) return Failure::wrap(std::move(parsed).error());
        chroms = std::move(parsed).value();
    }

    return Run{std::move(path), std::move(header).value(), std::move(extern_inf).value(),
               std::move(table).value(), std::move(chroms)};
}

Expected<FunctionInfo, Failure> Run::get_function(std::uint32_t func_index) const {
    for (const auto& f : function_table.functions)
        if (f.index == func_index) return f;
    return Failure::msg("function " + std::to_string(func_index) + " not found");
}

// ---------------------------------------------------------------------------
// Loading a function's files
//
// A query needs the size of both files, a record or two of the index and
// the bytes of one scan, yet a DAT file runs to gigabytes.  So a query first
// tries ranged reads: it opens both files, takes their sizes from the open
// descriptors and reads only what it needs.  It observes exactly what a
// whole read of both files would give; when a file turns out shorter than
// its status said (it shrank under us), or is not a regular file, the query
// starts again reading both files whole and works from memory.

namespace {

// One file of a function: either open for ranged reads, with the bytes read
// from its start so far held in memory, or held whole.
class Source {
public:
    static Expected<Source, OsError> open(const std::string& path, bool whole) {
        if (whole) {
            auto bytes = read_whole_file(path);
            if (!bytes) return bytes.error();
            return Source(std::move(bytes).value());
        }
        auto file = OpenFile::open(path);
        if (!file) return file.error();
        if (!file->is_regular() || file->size() == 0) {
            // Directories, pipes and devices: read as a whole read would, so
            // that errors (EISDIR for a directory) and contents agree.  A
            // regular file whose status says 0 bytes is read the same way:
            // pseudo-files (/proc) report 0 yet have content, and for a truly
            // empty file the whole read costs nothing.
            auto bytes = file->read_all();
            if (!bytes) return bytes.error();
            return Source(std::move(bytes).value());
        }
        return Source(std::move(file).value());
    }

    std::uint64_t size() const noexcept { return file_ ? file_->size() : held_.size(); }

    // The first `end` bytes (end <= size()), which stay held: a later read()
    // inside them is answered from memory, so the records that decided the
    // index's layout are not read a second time.  std::nullopt when the file
    // ended early: retry whole.
    Expected<std::optional<ByteView>, OsError> read_head(std::uint64_t end) {
        const std::size_t have = held_.size();
        if (end > have) {  // only for an open file: whole content is all held
            // A head that grows a second time is likely to grow to the end
            // (a Variant B index is read whole): room for all of it at
            // once, rather than copies at every step.
            if (have > 0) held_.reserve(static_cast<std::size_t>(size()));
            held_.resize(static_cast<std::size_t>(end));
            auto done = file_->read_at(have, std::span(held_).subspan(have));
            if (!done || !*done) held_.resize(have);
            if (!done) return done.error();
            if (!*done) return std::optional<ByteView>();
        }
        return std::optional<ByteView>(ByteView(held_).first(static_cast<std::size_t>(end)));
    }

    // The bytes [offset, offset + len), which the caller has checked lie within
    // size().  Views into the held bytes, or into `scratch` after a ranged
    // read.  std::nullopt when the file ended early: retry whole.
    Expected<std::optional<ByteView>, OsError> read(std::uint64_t offset, std::uint64_t len,
                                                    Bytes& scratch) const {
        if (offset + len <= held_.size())
            return std::optional<ByteView>(ByteView(held_).subspan(offset, len));
        scratch.resize(static_cast<std::size_t>(len));
        auto done = file_->read_at(offset, scratch);
        if (!done) return done.error();
        if (!*done) return std::optional<ByteView>();
        return std::optional<ByteView>(ByteView(scratch));
    }

private:
    explicit Source(Bytes whole) : held_(std::move(whole)) {}
    explicit Source(OpenFile file) : file_(std::move(file)) {}
    std::optional<OpenFile> file_;
    Bytes held_;  // the whole content, or the first bytes of file_
};

struct Loaded {
    Source idx;
    Source dat;
    IndexLayout layout;
    std::uint64_t count;  // number of index entries
};

// A step that may have to be repeated with whole reads: a value, "retry"
// (std::nullopt) or a failure.
template <class T>
using Step = Expected<std::optional<T>, Failure>;

std::uint64_t record_size(IndexLayout layout) {
    return layout == IndexLayout::A ? VariantA::record_size : VariantB::record_size;
}

// An index whose size fits both layouts is read from its start in blocks
// until its layout is settled (see AmbiguousLayout).  The first block, about
// 4 KiB, settles a real Variant A index; a Variant B index must be read to
// its end, and doubling blocks keep that to a few reads.  What was read stays
// held in `idx` for the query's own record reads.
Step<IndexLayout> resolve_ambiguous_layout(Source& idx, std::uint64_t dat_size) {
    AmbiguousLayout resolver(dat_size);
    std::uint64_t done = 0;
    std::uint64_t block = 12 * both_layouts_unit;
    while (done < idx.size()) {
        const std::uint64_t end = std::min(idx.size(), done + block);
        auto head = idx.read_head(end);
        if (!head) return Failure::os(head.error().code);
        if (!*head) return std::optional<IndexLayout>();
        if (resolver.feed((*head)->subspan(static_cast<std::size_t>(done)))) break;
        done = end;
        block *= 2;
    }
    return std::optional<IndexLayout>(resolver.layout());
}

Step<Loaded> load(const std::string& dir, std::uint32_t func_index, bool whole) {
    const std::string idx_path = join_path(dir, func_file_name(func_index, ".IDX"));
    const std::string dat_path = join_path(dir, func_file_name(func_index, ".DAT"));
    // Both existence tests come before any read, so a function lacking both
    // files reports the index.
    if (!path_exists(idx_path)) return Failure::msg("IDX file not found: " + idx_path);
    if (!path_exists(dat_path)) return Failure::msg("DAT file not found: " + dat_path);

    auto idx = Source::open(idx_path, whole);
    if (!idx) return Failure::os(idx.error().code);
    auto dat = Source::open(dat_path, whole);
    if (!dat) return Failure::os(dat.error().code);

    auto layout = layout_for_size(idx->size());
    if (!layout) return Failure::wrap(std::move(layout).error());

    if (fits_both_layouts(idx->size())) {
        auto resolved = resolve_ambiguous_layout(*idx, dat->size());
        if (!resolved) return std::move(resolved).error();
        if (!*resolved) return std::optional<Loaded>();
        *layout = **resolved;
    }
    const std::uint64_t count = idx->size() / record_size(*layout);
    return std::optional<Loaded>(
        Loaded{std::move(idx).value(), std::move(dat).value(), *layout, count});
}

Failure out_of_range(std::uint64_t scan_index) {
    return Failure::msg("scan " + std::to_string(scan_index) + " out of range");
}

// Loads a function's files and runs `body` on them, first with ranged reads
// and, when a file was shorter than its status said, once more with whole
// reads (which cannot come up short).
template <class T, class Body>
Expected<T, Failure> with_function_files(const std::string& dir, std::uint32_t func_index,
                                         Body&& body) {
    auto attempt = [&](bool whole) -> Step<T> {
        auto loaded = load(dir, func_index, whole);
        if (!loaded) return std::move(loaded).error();
        if (!*loaded) return std::optional<T>();
        return body(**loaded);
    };
    Step<T> step = attempt(false);
    if (step && !step->has_value()) step = attempt(true);
    if (!step) return std::move(step).error();
    if (!step->has_value()) return Failure::msg("file changed while it was read");
    return std::move(**step);
}

// Cuts the scan's bytes out of the DAT data and hands them to `decode`.  A
// Variant B scan whose range is empty gives an empty result, not an error.
template <class Result, class Decode>
Step<Result> decode_scan(const Loaded& f, std::uint64_t scan_index, Decode&& decode) {
    if (scan_index >= f.count) return out_of_range(scan_index);
    Bytes rec_scratch;
    ScanRange range;
    if (f.layout == IndexLayout::A) {
        auto rec = f.idx.read(scan_index * VariantA::record_size, VariantA::record_size, rec_scratch);
        if (!rec) return Failure::os(rec.error().code);
        if (!*rec) return std::optional<Result>();
        range = scan_range_a(parse_entry_a((*rec)->data()), f.dat.size());
        if (range.kind == ScanRange::Kind::OutOfBounds)
            return Failure::msg("scan offset out of DAT bounds");
    } else {
        const bool last = scan_index + 1 == f.count;
        const std::uint64_t len = (last ? 1 : 2) * VariantB::record_size;
        auto rec = f.idx.read(scan_index * VariantB::record_size, len, rec_scratch);
        if (!rec) return Failure::os(rec.error().code);
        if (!*rec) return std::optional<Result>();
        const ScanEntryB entry = parse_entry_b((*rec)->data());
        std::uint32_t next = 0;
        if (!last) next = parse_entry_b((*rec)->data() + VariantB::record_size).offset;
        range = scan_range_b(entry.offset, last ? nullptr : &next, f.dat.size());
        if (range.kind == ScanRange::Kind::Empty) return std::optional<Result>(Result{});
    }

    Bytes scan_scratch;
    auto bytes = f.dat.read(range.start, range.end - range.start, scan_scratch);
    if (!bytes) return Failure::os(bytes.error().code);
    if (!*bytes) return std::optional<Result>();
    auto decoded = decode(**bytes);
    if (!decoded) return Failure::wrap(Error::parse(std::move(decoded).error()));
    return std::optional<Result>(std::move(decoded).value());
}

// The two spectrum queries: the function table is consulted before any file
// is touched, and the calibration is built once per call.
template <class Result, class Body>
Expected<Result, Failure> spectrum_query(const Run& run, std::uint32_t func_index, Body&& body) {
    auto function = run.get_function(func_index);
    if (!function) return std::move(function).error();
    const TofCalibration cal =
        TofCalibration::build(*function, run.header, run.extern_inf, func_index);
    return with_function_files<Result>(run.path, func_index,
                                       [&](const Loaded& f) { return body(f, cal); });
}

}  // namespace

// ---------------------------------------------------------------------------
// Queries

Expected<std::uint64_t, Failure> Run::n_scans(std::uint32_t func_index) const {
    return with_function_files<std::uint64_t>(path, func_index, [](const Loaded& f) {
        return Step<std::uint64_t>(std::optional<std::uint64_t>(f.count));
    });
}

Expected<double, Failure> Run::retention_time(std::uint32_t func_index,
                                              std::uint64_t scan_index) const {
    return with_function_files<double>(path, func_index, [&](const Loaded& f) -> Step<double> {
        if (scan_index >= f.count) return out_of_range(scan_index);
        const std::uint64_t size = record_size(f.layout);
        Bytes scratch;
        auto rec = f.idx.read(scan_index * size, size, scratch);
        if (!rec) return Failure::os(rec.error().code);
        if (!*rec) return std::optional<double>();
        const float rt = f.layout == IndexLayout::A ? parse_entry_a((*rec)->data()).rt_min
                                                    : parse_entry_b((*rec)->data()).rt_min;
        return std::optional<double>(static_cast<double>(rt));
    });
}

Expected<Spectrum, Failure> Run::read_spectrum(std::uint32_t func_index,
                                               std::uint64_t scan_index) const {
    return spectrum_query<Spectrum>(*this, func_index, [&](const Loaded& f,
                                                           const TofCalibration& cal) {
        if (f.layout == IndexLayout::A)
            return decode_scan<Spectrum>(f, scan_index,
                                         [&](ByteView b) { return decode_encoding_a(b, cal); });
        return decode_scan<Spectrum>(f, scan_index,
                                     [&](ByteView b) { return decode_encoding_c(b, cal); });
    });
}

Expected<ImsSpectrum, Failure> Run::read_ims_spectrum(std::uint32_t func_index,
                                                      std::uint64_t scan_index) const {
    return spectrum_query<ImsSpectrum>(*this, func_index, [&](const Loaded& f,
                                                              const TofCalibration& cal)
                                                              -> Step<ImsSpectrum> {
        if (f.layout == IndexLayout::A)
            return Failure::msg("function uses Encoding A (not IMS); use read_spectrum instead");
        return decode_scan<ImsSpectrum>(f, scan_index,
                                        [&](ByteView b) { return decode_encoding_b(b, cal); });
    });
}

Expected<std::vector<ChromPoint>, Failure> Run::read_chrom(std::uint64_t channel_index) const {
    if (!chroms_inf) return Failure::msg("no _CHROMS.INF in this .raw directory");
    auto points = read_chro_dat(join_path(path, chro_file_name(channel_index)));
    if (!points) return Failure::wrap(std::move(points).error());
    return std::move(points).value();
}

}  // namespace tessmoor::raw
