// The reader's core over a whole directory.  The input is written out as the
// files of a temporary .raw directory (layout in run_input.hpp), the
// directory is opened and every query runs over every function, scan and
// channel.  Each answer is checked against a model built from the same
// bytes with the pure parsers and decoders, so that the file handling of the
// reader (existence tests, whole and ranged reads, byte ranges of scans)
// must agree with the formats, and every failure must name the file and
// function it concerns.
//
// In the prefix, bit 0 of the first byte asks for a trailing "/" on the
// directory path.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "core/format/chroms.hpp"
#include "core/decode/encodings.hpp"
#include "core/format/extern_inf.hpp"
#include "core/io/file.hpp"
#include "core/format/functions_inf.hpp"
#include "core/format/header.hpp"
#include "core/format/index.hpp"
#include "core/access/function_reader.hpp"
#include "core/access/run.hpp"
#include "core/format/text.hpp"
#include "reference.hpp"
#include "run_input.hpp"

using namespace tessmoor::core;

namespace {

using fuzz::Entry;
using fuzz::kFiles;

ByteView bytes_of(std::string_view s) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// What reading a file whole gives: its bytes, or the error number.
struct Read {
    std::optional<Bytes> bytes;
    int err = 0;
};
Read model_read(const Entry& e) {
    if (e.kind == Entry::Kind::Absent) return Read{std::nullopt, ENOENT};
    if (e.kind == Entry::Kind::Dir) return Read{std::nullopt, EISDIR};
    const ByteView b = bytes_of(e.content);
    return Read{Bytes(b.begin(), b.end()), 0};
}

// The failure a call must report: its kind, its text, and the file and
// function it names (empty: none is checked).
struct Expect {
    StatusKind kind;
    std::string text;
    std::string file;
    std::optional<std::uint32_t> func;
};

Expect expect_status(const Status& s) { return Expect{s.kind(), s.text(), s.file(), s.func()}; }

template <class T>
void check_failure(const Result<T>& got, const Expect& want, const char* what) {
    FUZZ_CHECK(!got.ok(), std::string(what) + " succeeded where it must fail with " + want.text);
    const Status& s = got.status();
    const std::string where = std::string(what) + ": got \"" + s.context_text() + "\", expected \"" + want.text + "\"";
    FUZZ_CHECK(s.kind() == want.kind && s.text() == want.text, where);
    if (!want.file.empty()) FUZZ_CHECK(s.file() == want.file, where + " in " + want.file);
    if (want.func) FUZZ_CHECK(s.func() == want.func, where + " of function " + std::to_string(*want.func));
    FUZZ_CHECK(fuzz::valid_utf8(s.text()), s.text());
}

// A whole-file read of a metadata file, then its parser: the failure, if any.
template <class Parse>
std::optional<Expect> model_metadata(const std::string& dir, const char* name, FileRole role, const Entry& e,
                                     Parse&& parse) {
    const std::string path = join_path(dir, name);
    const Read r = model_read(e);
    if (!r.bytes) return expect_status(Status::io(r.err, path, role));
    Status parsed = parse(*r.bytes);
    if (!parsed.ok()) return expect_status(std::move(parsed).in_file(path, role));
    return std::nullopt;
}

// The failure opening must report, or nothing when it must succeed: the
// metadata files in order, the first failure winning.
std::optional<Expect> model_open_error(const std::string& dir, const Entry (&f)[kFiles]) {
    auto status = [](auto&& r) { return r.ok() ? Status::OK() : Status(std::move(r).status()); };
    if (auto e = model_metadata(dir, "_HEADER.TXT", FileRole::Header, f[0], [&](const Bytes& b) {
            return status(Header::from_str(text::decode_text_file(b)));
        }))
        return e;
    if (auto e = model_metadata(dir, "_extern.inf", FileRole::Extern, f[1], [&](const Bytes& b) {
            return status(ExternInf::from_str(text::decode_text_file(b)));
        }))
        return e;
    if (auto e = model_metadata(dir, "_FUNCTNS.INF", FileRole::Functions, f[2],
                                [&](const Bytes& b) { return status(FunctionTable::from_bytes(b)); }))
        return e;
    if (f[3].kind == Entry::Kind::Absent) return std::nullopt;
    return model_metadata(dir, "_CHROMS.INF", FileRole::Chroms, f[3],
                          [&](const Bytes& b) { return status(ChromsInf::from_bytes(b)); });
}

template <class A, class B>
void check_same_arrays(const A& got, const B& want, const char* what) {
    FUZZ_CHECK(got.size() == want.size(), what);
    for (std::size_t i = 0; i < want.size(); ++i) FUZZ_CHECK(fuzz::same_value(got[i], want[i]), what);
}

// A function as the model sees it: the parsed index and the DAT data, or
// the failure every read of it must report.
struct ModelFunction {
    std::optional<Expect> error;
    std::optional<ScanIndex> index;
    Bytes dat;
    std::string idx_path, dat_path;
};

ModelFunction model_function(const std::string& dir, std::uint32_t func, const Entry& idx, const Entry& dat) {
    ModelFunction m;
    m.idx_path = join_path(dir, func_file_name(func, ".IDX"));
    m.dat_path = join_path(dir, func_file_name(func, ".DAT"));
    auto fail = [&](Status s) { m.error = expect_status(std::move(s).in_function(func)); };
    // Existence first, the index before the DAT; then whatever keeps the
    // index, then the DAT, from being read.
    if (idx.kind == Entry::Kind::Absent) {
        fail(Status::not_found(m.idx_path, FileRole::Index));
        return m;
    }
    if (dat.kind == Entry::Kind::Absent) {
        fail(Status::not_found(m.dat_path, FileRole::Data));
        return m;
    }
    const Read ri = model_read(idx);
    if (!ri.bytes) {
        fail(Status::io(ri.err, m.idx_path, FileRole::Index));
        return m;
    }
    const Read rd = model_read(dat);
    if (!rd.bytes) {
        fail(Status::io(rd.err, m.dat_path, FileRole::Data));
        return m;
    }
    // The whole-index decision, which the reader reaches from as few of the
    // index's records as it can.
    const auto variant = fuzz::reference_variant(*ri.bytes, rd.bytes->size());
    if (!variant) {
        fail(Status::format("_FUNCnnn.IDX: size " + std::to_string(ri.bytes->size()) +
                            " is not a multiple of 22 (Variant A) or 30 (Variant B)")
                 .in_file(m.idx_path, FileRole::Index));
        return m;
    }
    if (*variant == IndexVariant::A)
        m.index.emplace(parse_variant_a(*ri.bytes));
    else
        m.index.emplace(parse_variant_b(*ri.bytes));
    m.dat = std::move(*rd.bytes);
    return m;
}

Expect out_of_range(const ModelFunction& m, std::uint32_t func, std::uint64_t magnitude, bool negative) {
    return Expect{StatusKind::ScanOutOfRange, "scan " + std::string(negative ? "-" : "") + std::to_string(magnitude) +
                                                  " out of range",
                  m.idx_path, func};
}

void check_scan(const Result<ScanRead>& got, std::uint64_t scan, double rt, const fuzz::ReferencePeaks& want,
                bool ims, const char* what) {
    FUZZ_CHECK(got.ok(), std::string(what) + ": " + got.status().context_text());
    FUZZ_CHECK(got->scan == scan, std::string(what) + ": scan number");
    FUZZ_CHECK(fuzz::same_bits(got->rt_min, rt), std::string(what) + ": retention time");
    check_same_arrays(got->peaks.mz, want.mz, what);
    check_same_arrays(got->peaks.intensity, want.intensity, what);
    if (ims) check_same_arrays(got->peaks.drift_time_ms, want.drift_time_ms, what);
    else FUZZ_CHECK(got->peaks.drift_time_ms.size() == 0, what);
}

void query_function(const Run& run, const std::string& dir, std::uint32_t func, const Entry& idx,
                    const Entry& dat, std::size_t input_size) {
    auto n = [&] {
        fuzz::AllocationWatch watch(input_size, 8, 1 << 20);
        auto result = run.n_scans(func);
        watch.check("Run::n_scans");
        return result;
    }();
    const ModelFunction m = model_function(dir, func, idx, dat);
    auto facts = describe_function(run, func);
    if (m.error) {
        check_failure(n, *m.error, "n_scans");
        check_failure(run.retention_time(func, 0), *m.error, "retention_time");
        check_failure(facts, *m.error, "describe_function");
    } else {
        FUZZ_CHECK(n.ok(), "n_scans failed: " + n.status().context_text());
        FUZZ_CHECK(*n == m.index->size(), "n_scans disagrees with the index size");
        FUZZ_CHECK(facts.ok() && facts->scan_count == *n && facts->variant == m.index->variant() &&
                       facts->dat_size == m.dat.size(),
                   "describe_function disagrees with the files");
        for (std::uint64_t i = 0; i <= *n; ++i) {
            auto rt = run.retention_time(func, i);
            if (i == *n) {
                check_failure(rt, out_of_range(m, func, i, false), "retention_time");
            } else {
                FUZZ_CHECK(rt.ok(), rt.status().context_text());
                FUZZ_CHECK(fuzz::same_bits(*rt, m.index->rt_min(i)), "retention_time value");
            }
        }
    }

    // Spectrum queries consult the function table first.
    auto fn = run.get_function(func);
    if (!fn) {
        const Expect want{StatusKind::FunctionNotFound, "function " + std::to_string(func) + " not found",
                          join_path(dir, "_FUNCTNS.INF"), func};
        check_failure(fn, want, "get_function");
        check_failure(run.read_spectrum(func, 0), want, "read_spectrum");
        check_failure(run.read_ims_spectrum(func, 0), want, "read_ims_spectrum");
        return;
    }
    if (m.error) {
        check_failure(run.read_spectrum(func, 0), *m.error, "read_spectrum");
        check_failure(run.read_ims_spectrum(func, 0), *m.error, "read_ims_spectrum");
        return;
    }
    const TofCalibration cal = TofCalibration::build(*fn, run.header, run.extern_inf, func);
    const ScanIndex& index = *m.index;
    const bool variant_a = index.is_variant_a();
    const std::uint64_t count = index.size();
    const Expect not_ims{StatusKind::NotIms, Status::not_ims().text(), m.idx_path, func};
    // Counted from the end, one too far.
    check_failure(run.read_scan(func, count + 1, true, false), out_of_range(m, func, count + 1, true), "read_scan");
    for (std::uint64_t i = 0; i <= count; ++i) {
        // A decoded scan takes at most 20 bytes per 8-byte record.
        fuzz::AllocationWatch watch(input_size, 8, 1 << 20);
        auto s = run.read_spectrum(func, i);
        auto ims = run.read_ims_spectrum(func, i);
        watch.check("Run::read_spectrum and Run::read_ims_spectrum");
        // Drift times are refused for a 22-byte index before the scan is looked at.
        if (variant_a) check_failure(ims, not_ims, "read_ims_spectrum");
        if (i == count) {
            check_failure(s, out_of_range(m, func, i, false), "read_spectrum");
            if (!variant_a) check_failure(ims, out_of_range(m, func, i, false), "read_ims_spectrum");
            continue;
        }
        const double rt = index.rt_min(i);
        const ScanRange range = index.byte_range(i, m.dat.size());
        // The same scan counted from the end.
        auto back = run.read_scan(func, count - i, true, false);
        if (range.kind == ScanRange::Kind::OutOfBounds) {
            const Expect want{StatusKind::ScanOutOfBounds, "scan offset out of DAT bounds", m.dat_path, func};
            check_failure(s, want, "read_spectrum");
            check_failure(back, want, "read_scan from the end");
            FUZZ_CHECK(s.status().scan() == i && back.status().scan() == i, "out of bounds names its scan");
            continue;
        }
        if (range.kind == ScanRange::Kind::Empty) {
            FUZZ_CHECK(s.ok() && s->mz.size() == 0 && s->intensity.size() == 0, "empty Variant B scan");
            FUZZ_CHECK(ims.ok() && ims->mz.size() == 0 && ims->drift_time_ms.size() == 0 && ims->intensity.size() == 0,
                       "empty Variant B scan");
            check_scan(back, i, rt, {}, false, "read_scan from the end");
            continue;
        }
        const ByteView scan = ByteView(m.dat).subspan(range.start, range.end - range.start);
        auto check_read = [&](const auto& got, Encoding encoding, const char* what) {
            const fuzz::ReferenceScan want = fuzz::reference_decode(encoding, scan, cal);
            if (want.error) {
                check_failure(got, Expect{StatusKind::Format, "parse error: " + *want.error, m.dat_path, func}, what);
                FUZZ_CHECK(got.status().scan() == i, std::string(what) + ": the failure names its scan");
                return want;
            }
            FUZZ_CHECK(got.ok(), std::string(what) + ": " + got.status().context_text());
            check_same_arrays(got->mz, want.peaks.mz, what);
            check_same_arrays(got->intensity, want.peaks.intensity, what);
            if constexpr (requires { got->drift_time_ms; })
                check_same_arrays(got->drift_time_ms, want.peaks.drift_time_ms, what);
            return want;
        };
        const fuzz::ReferenceScan plain = check_read(s, variant_a ? Encoding::A : Encoding::C, "read_spectrum");
        if (plain.error)
            FUZZ_CHECK(!back && back.status().text() == s.status().text(), "read_scan from the end");
        else
            check_scan(back, i, rt, plain.peaks, false, "read_scan from the end");
        if (!variant_a) check_read(ims, Encoding::B, "read_ims_spectrum");
    }
}

void query_channel(const Run& run, std::uint64_t channel, const Entry* file) {
    auto pts = run.read_chrom(channel);
    const std::string path = join_path(run.path, chro_file_name(channel));
    if (!run.chroms_inf) {
        check_failure(pts, Expect{StatusKind::NoChroms, "no _CHROMS.INF in this .raw directory", {}, {}},
                      "read_chrom");
        return;
    }
    const Read r = file ? model_read(*file) : Read{std::nullopt, ENOENT};
    if (!r.bytes) {
        check_failure(pts, expect_status(Status::io(r.err, path, FileRole::Channel)), "read_chrom");
        return;
    }
    auto want = parse_chro_bytes(*r.bytes);
    if (!want) {
        check_failure(pts, expect_status(Status(want.status()).in_file(path, FileRole::Channel)), "read_chrom");
        return;
    }
    FUZZ_CHECK(pts.ok(), pts.status().context_text());
    FUZZ_CHECK(pts->size() == want->size(), "read_chrom point count");
    for (std::size_t k = 0; k < pts->size(); ++k)
        FUZZ_CHECK(fuzz::same_bits((*pts)[k].rt_min, (*want)[k].rt_min) &&
                       fuzz::same_bits((*pts)[k].value, (*want)[k].value),
                   "read_chrom values");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::RunInput input = fuzz::split_run_input(data, size);
    const Entry(&files)[kFiles] = input.files;
    const bool trailing_slash = !input.prefix.empty() && (input.prefix[0] & 1);
    fuzz::write_dir(files);
    const std::string dir = fuzz::scratch_dir() + (trailing_slash ? "/" : "");

    // Opening reads the metadata files whole; queries read an index record
    // or two and one scan.  Nothing needs much more than the input's size.
    auto run = [&] {
        fuzz::AllocationWatch watch(size, 8, 1 << 20);
        auto opened = Run::open(dir);
        watch.check("Run::open");
        return opened;
    }();
    const auto want = model_open_error(dir, files);
    if (want) {
        check_failure(run, *want, "Run::open");
        return 0;
    }
    FUZZ_CHECK(run.ok(), "open failed: " + run.status().context_text());
    FUZZ_CHECK(run->path == dir, "path kept as given");
    FUZZ_CHECK(run->function_table.functions.size() == files[2].content.size() / 416, "function count");
    FUZZ_CHECK(run->chroms_inf.has_value() == (files[3].kind != Entry::Kind::Absent), "channel table presence");

    query_function(*run, dir, 0, files[8], files[9], size);
    query_function(*run, dir, 1, files[4], files[5], size);
    query_function(*run, dir, 2, files[6], files[7], size);
    // A function without files, listed in the table or not.
    query_function(*run, dir, 3, Entry{}, Entry{}, size);
    query_channel(*run, 0, &files[10]);
    query_channel(*run, 1, &files[11]);
    query_channel(*run, 2, nullptr);
    return 0;
}
