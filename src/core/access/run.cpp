#include "core/access/run.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "core/io/file.hpp"
#include "core/format/index.hpp"

namespace tessmoor::core {

std::string func_file_name(std::uint32_t func_index, const char* suffix) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "_FUNC%03u%s", static_cast<unsigned>(func_index), suffix);
    return buf;
}

// ---------------------------------------------------------------------------
// Opening

Expected<Run, Failure> Run::open(std::string path) {
    if (const int why = directory_error(path)) {
        Failure f = Failure::of(Failure::Kind::NotDirectory, path);
        f.os_errno = why;
        return f;
    }

    const std::string header_path = join_path(path, "_HEADER.TXT");
    auto header = Header::from_path(header_path);
    if (!header) return Failure::format(std::move(header).error(), header_path);
    const std::string extern_path = join_path(path, "_extern.inf");
    auto extern_inf = ExternInf::from_path(extern_path);
    if (!extern_inf) return Failure::format(std::move(extern_inf).error(), extern_path);
    const std::string table_path = join_path(path, "_FUNCTNS.INF");
    auto table = FunctionTable::from_path(table_path);
    if (!table) return Failure::format(std::move(table).error(), table_path);

    // The channel table is optional: a failed status query (missing file,
    // dangling link) means "no channels"; anything that exists must parse.
    std::optional<ChromsInf> chroms;
    const std::string chroms_path = join_path(path, "_CHROMS.INF");
    if (path_exists(chroms_path)) {
        auto parsed = ChromsInf::from_path(chroms_path);
        if (!parsed) return Failure::format(std::move(parsed).error(), chroms_path);
        chroms = std::move(parsed).value();
    }

    return Run{std::move(path), std::move(header).value(), std::move(extern_inf).value(),
               std::move(table).value(), std::move(chroms)};
}

Expected<FunctionInfo, Failure> Run::get_function(std::uint32_t func_index) const {
    for (const auto& f : function_table.functions)
        if (f.index == func_index) return f;
    return Failure::of(Failure::Kind::FunctionNotFound, join_path(path, "_FUNCTNS.INF"))
        .in_function(func_index);
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
    static Expected<Source, Failure> open(const std::string& path, bool whole) {
        if (whole) {
            auto bytes = read_whole_file(path);
            if (!bytes) return Failure::os(bytes.error().code, path);
            return Source(path, std::move(bytes).value());
        }
        auto file = OpenFile::open(path);
        if (!file) return Failure::os(file.error().code, path);
        if (!file->is_regular() || file->size() == 0) {
            // Directories, pipes and devices: read as a whole read would, so
            // that errors (EISDIR for a directory) and contents agree.  A
            // regular file whose status says 0 bytes is read the same way:
            // pseudo-files (/proc) report 0 yet have content, and for a truly
            // empty file the whole read costs nothing.
            auto bytes = file->read_all();
            if (!bytes) return Failure::os(bytes.error().code, path);
            return Source(path, std::move(bytes).value());
        }
        return Source(path, std::move(file).value());
    }

    const std::string& path() const noexcept { return path_; }

    std::uint64_t size() const noexcept { return file_ ? file_->size() : held_.size(); }

    // The first `end` bytes (end <= size()), which stay held: a later read()
    // inside them is answered from memory, so the records that decided the
    // index's layout are not read a second time.  std::nullopt when the file
    // ended early: retry whole.
    Expected<std::optional<ByteView>, Failure> read_head(std::uint64_t end) {
        const std::size_t have = held_.size();
        if (end > have) {  // only for an open file: whole content is all held
            // A head that grows a second time is likely to grow to the end
            // (a Variant B index is read whole): room for all of it at
            // once, rather than copies at every step.
            if (have > 0) held_.reserve(static_cast<std::size_t>(size()));
            held_.resize(static_cast<std::size_t>(end));
            auto done = file_->read_at(have, std::span(held_).subspan(have));
            if (!done || !*done) held_.resize(have);
            if (!done) return Failure::os(done.error().code, path_);
            if (!*done) return std::optional<ByteView>();
        }
        return std::optional<ByteView>(ByteView(held_).first(static_cast<std::size_t>(end)));
    }

    // The bytes [offset, offset + len), which the caller has checked lie within
    // size().  Views into the held bytes, or into `scratch` after a ranged
    // read.  std::nullopt when the file ended early: retry whole.
    Expected<std::optional<ByteView>, Failure> read(std::uint64_t offset, std::uint64_t len,
                                                    Bytes& scratch) const {
        if (offset + len <= held_.size())
            return std::optional<ByteView>(ByteView(held_).subspan(offset, len));
        scratch.resize(static_cast<std::size_t>(len));
        auto done = file_->read_at(offset, scratch);
        if (!done) return Failure::os(done.error().code, path_);
        if (!*done) return std::optional<ByteView>();
        return std::optional<ByteView>(ByteView(scratch));
    }

private:
    Source(std::string path, Bytes whole) : path_(std::move(path)), held_(std::move(whole)) {}
    Source(std::string path, OpenFile file) : path_(std::move(path)), file_(std::move(file)) {}
    std::string path_;
    std::optional<OpenFile> file_;
    Bytes held_;  // the whole content, or the first bytes of file_
};

// How a query learns that a function's file is missing.  The scan queries
// of tessmoor test both files' existence before reading either (so a
// missing DAT is reported before an unreadable IDX); the bulk layer opens
// them straight away and takes "no such file" from the open, two status
// queries fewer per call.
enum class Probe : std::uint8_t { StatFirst, OpenOnly };

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

// A step that gave no value, as a step of another type: its failure, or
// "retry".
template <class T, class U>
Step<T> pass_on(Step<U>&& step) {
    if (!step) return std::move(step).error();
    return std::optional<T>();
}

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
        if (!head) return std::move(head).error();
        if (!*head) return std::optional<IndexLayout>();
        if (resolver.feed((*head)->subspan(static_cast<std::size_t>(done)))) break;
        done = end;
        block *= 2;
    }
    return std::optional<IndexLayout>(resolver.layout());
}

// A missing file, told from the failure of opening it.
Failure missing_or(Failure failure, Failure::Kind missing) {
    if (failure.kind == Failure::Kind::Os && failure.os_errno == ENOENT) return Failure::of(missing, failure.file);
    return failure;
}

Step<Loaded> load(const std::string& dir, std::uint32_t func_index, bool whole, Probe probe) {
    const std::string idx_path = join_path(dir, func_file_name(func_index, ".IDX"));
    const std::string dat_path = join_path(dir, func_file_name(func_index, ".DAT"));
    // Both existence tests come before any read, so a function lacking both
    // files reports the index.
    if (probe == Probe::StatFirst) {
        if (!path_exists(idx_path)) return Failure::of(Failure::Kind::IdxMissing, idx_path);
        if (!path_exists(dat_path)) return Failure::of(Failure::Kind::DatMissing, dat_path);
    }

    auto idx = Source::open(idx_path, whole);
    if (!idx) return missing_or(std::move(idx).error(), Failure::Kind::IdxMissing);
    auto dat = Source::open(dat_path, whole);
    if (!dat) return missing_or(std::move(dat).error(), Failure::Kind::DatMissing);

    auto layout = layout_for_size(idx->size());
    if (!layout) return Failure::format(std::move(layout).error(), idx_path);

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

Failure out_of_range(const Loaded& f, std::uint64_t scan_index) {
    Failure failure = Failure::of(Failure::Kind::ScanOutOfRange, f.idx.path()).at_scan(scan_index);
    failure.scan_count = f.count;
    return failure;
}

// Loads a function's files and runs `body` on them, first with ranged reads
// and, when a file was shorter than its status said, once more with whole
// reads (which cannot come up short).
template <class T, class Body>
Expected<T, Failure> with_function_files(const std::string& dir, std::uint32_t func_index,
                                         Body&& body, Probe probe = Probe::StatFirst) {
    auto attempt = [&](bool whole) -> Step<T> {
        auto loaded = load(dir, func_index, whole, probe);
        if (!loaded) return std::move(loaded).error();
        if (!*loaded) return std::optional<T>();
        return body(**loaded);
    };
    Step<T> step = attempt(false);
    if (step && !step->has_value()) step = attempt(true);
    if (!step) {
        Failure failure = std::move(step).error();
        if (!failure.func) failure.func = func_index;
        return failure;
    }
    if (!step->has_value()) {
        return Failure::of(Failure::Kind::FileChanged, join_path(dir, func_file_name(func_index, ".DAT")))
            .in_function(func_index);
    }
    return std::move(**step);
}

// Cuts the scan's bytes out of the DAT data and hands them to `decode`.  A
// Variant B scan whose range is empty gives an empty result, not an error.
// The scan's retention time goes to *rt_min when asked for.
template <class Result, class Decode>
Step<Result> decode_scan(const Loaded& f, std::uint64_t scan_index, Decode&& decode,
                         float* rt_min = nullptr) {
    if (scan_index >= f.count) return out_of_range(f, scan_index);
    Bytes rec_scratch;
    ScanRange range;
    if (f.layout == IndexLayout::A) {
        auto rec = f.idx.read(scan_index * VariantA::record_size, VariantA::record_size, rec_scratch);
        if (!rec) return std::move(rec).error();
        if (!*rec) return std::optional<Result>();
        const ScanEntryA entry = parse_entry_a((*rec)->data());
        if (rt_min) *rt_min = entry.rt_min;
        range = scan_range_a(entry, f.dat.size());
        if (range.kind == ScanRange::Kind::OutOfBounds)
            return Failure::of(Failure::Kind::ScanOutOfBounds, f.dat.path()).at_scan(scan_index);
    } else {
        const bool last = scan_index + 1 == f.count;
        const std::uint64_t len = (last ? 1 : 2) * VariantB::record_size;
        auto rec = f.idx.read(scan_index * VariantB::record_size, len, rec_scratch);
        if (!rec) return std::move(rec).error();
        if (!*rec) return std::optional<Result>();
        const ScanEntryB entry = parse_entry_b((*rec)->data());
        if (rt_min) *rt_min = entry.rt_min;
        std::uint32_t next = 0;
        if (!last) next = parse_entry_b((*rec)->data() + VariantB::record_size).offset;
        range = scan_range_b(entry.offset, last ? nullptr : &next, f.dat.size());
        if (range.kind == ScanRange::Kind::Empty) return std::optional<Result>(Result{});
    }

    Bytes scan_scratch;
    auto bytes = f.dat.read(range.start, range.end - range.start, scan_scratch);
    if (!bytes) return std::move(bytes).error();
    if (!*bytes) return std::optional<Result>();
    auto decoded = decode(**bytes);
    if (!decoded)
        return Failure::format(Error::parse(std::move(decoded).error()), f.dat.path()).at_scan(scan_index);
    return std::optional<Result>(std::move(decoded).value());
}

// The two spectrum queries: the function table is consulted before any file
// is touched, and the calibration is built once per call.
template <class Result, class Body>
Expected<Result, Failure> spectrum_query(const Run& run, std::uint32_t func_index, Body&& body,
                                         Probe probe = Probe::StatFirst) {
    auto function = run.get_function(func_index);
    if (!function) return std::move(function).error();
    const TofCalibration cal =
        TofCalibration::build(*function, run.header, run.extern_inf, func_index);
    return with_function_files<Result>(
        run.path, func_index, [&](const Loaded& f) { return body(f, cal); }, probe);
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
        if (scan_index >= f.count) return out_of_range(f, scan_index);
        const std::uint64_t size = record_size(f.layout);
        Bytes scratch;
        auto rec = f.idx.read(scan_index * size, size, scratch);
        if (!rec) return std::move(rec).error();
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
            return Failure::of(Failure::Kind::NotIms, f.idx.path());
        return decode_scan<ImsSpectrum>(f, scan_index,
                                        [&](ByteView b) { return decode_encoding_b(b, cal); });
    });
}

Expected<ScanRead, Failure> Run::read_scan(std::uint32_t func_index, std::int64_t scan, bool ims) const {
    return spectrum_query<ScanRead>(*this, func_index, [&](const Loaded& f,
                                                           const TofCalibration& cal) -> Step<ScanRead> {
        if (ims && f.layout == IndexLayout::A) return Failure::of(Failure::Kind::NotIms, f.idx.path());
        // The magnitude of a negative number, without overflow at INT64_MIN.
        const std::uint64_t magnitude = scan < 0 ? ~static_cast<std::uint64_t>(scan) + 1 : static_cast<std::uint64_t>(scan);
        if (scan < 0 && magnitude > f.count) {
            Failure failure = out_of_range(f, magnitude);
            failure.scan_negative = true;
            return failure;
        }
        const std::uint64_t number = scan < 0 ? f.count - magnitude : magnitude;
        // Decoded straight into the arrays handed out, sized for the most
        // peaks the scan can hold: no copy, and no zeroing of memory that
        // the decoder writes anyway.
        const Encoding encoding = ims ? Encoding::B : f.layout == IndexLayout::A ? Encoding::A : Encoding::C;
        auto decode = [&](ByteView b) -> Expected<ScanRead, std::string> {
            const std::uint64_t most = max_peaks(encoding, b.size());
            ScanRead read;
            read.mz = Array<double>(most);
            read.intensity = Array<float>(most);
            Expected<std::size_t, std::string> n = std::size_t{0};
            if (encoding == Encoding::B) {
                read.drift_time_ms = Array<double>(most);
                n = decode_encoding_b_into(b, cal, read.mz.span(), read.drift_time_ms.span(),
                                           read.intensity.span());
            } else if (encoding == Encoding::A) {
                n = decode_encoding_a_into(b, cal, read.mz.span(), read.intensity.span());
            } else {
                n = decode_encoding_c_into(b, cal, read.mz.span(), read.intensity.span());
            }
            if (!n) return std::move(n).error();
            read.mz.shrink(*n);
            read.intensity.shrink(*n);
            read.drift_time_ms.shrink(*n);
            return read;
        };
        float rt = 0.0f;
        auto s = decode_scan<ScanRead>(f, number, decode, &rt);
        if (!s || !*s) return s;
        ScanRead out = std::move(**s);
        out.scan = number;
        out.rt_min = static_cast<double>(rt);
        return std::optional<ScanRead>(std::move(out));
    }, Probe::OpenOnly);
}

Expected<std::vector<ChromPoint>, Failure> Run::read_chrom(std::uint64_t channel_index) const {
    if (!chroms_inf) return Failure::of(Failure::Kind::NoChroms, join_path(path, "_CHROMS.INF"));
    const std::string chro_path = join_path(path, chro_file_name(channel_index));
    auto points = read_chro_dat(chro_path);
    if (!points) return Failure::format(std::move(points).error(), chro_path);
    return std::move(points).value();
}

}  // namespace tessmoor::core
