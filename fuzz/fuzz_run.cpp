// The reader's core over a whole directory.  The input is written out as the
// files of a temporary .raw directory (layout in run_input.hpp), the
// directory is opened and every query runs over every function, scan and
// channel.  Each answer is checked against a model built from the same
// bytes with the pure parsers and decoders, so that the file handling of the
// reader (existence tests, whole and ranged reads, byte ranges of scans)
// must agree with the formats.
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
#include "core/access/run.hpp"
#include "core/format/text.hpp"
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

// The text a failed open must carry, or nothing when the open must succeed.
std::optional<std::string> model_open_error(const Entry (&f)[kFiles]) {
    auto io = [](int err) { return Error::io(err).text(); };
    {
        const Read r = model_read(f[0]);
        if (!r.bytes) return io(r.err);
        auto h = Header::from_str(text::decode_text_file(*r.bytes));
        if (!h) return h.error().text();
    }
    {
        const Read r = model_read(f[1]);
        if (!r.bytes) return io(r.err);
        auto x = ExternInf::from_str(text::decode_text_file(*r.bytes));
        if (!x) return x.error().text();
    }
    {
        const Read r = model_read(f[2]);
        if (!r.bytes) return io(r.err);
        auto t = FunctionTable::from_bytes(*r.bytes);
        if (!t) return t.error().text();
    }
    if (f[3].kind != Entry::Kind::Absent) {
        const Read r = model_read(f[3]);
        if (!r.bytes) return io(r.err);
        auto c = ChromsInf::from_bytes(*r.bytes);
        if (!c) return c.error().text();
    }
    return std::nullopt;
}

template <class A, class B>
void check_same_arrays(const std::vector<A>& got, const std::vector<B>& want, const char* what) {
    FUZZ_CHECK(got.size() == want.size(), what);
    for (std::size_t i = 0; i < got.size(); ++i) FUZZ_CHECK(fuzz::same_bits(got[i], want[i]), what);
}

// A loaded function as the model sees it: the parsed index and the DAT data,
// or the text the query must fail with.
struct ModelFunction {
    std::optional<std::string> error;
    std::optional<ScanIndex> index;
    Bytes dat;
};

ModelFunction model_function(const std::string& dir, std::uint32_t func, const Entry& idx, const Entry& dat) {
    ModelFunction m;
    if (idx.kind == Entry::Kind::Absent) {
        m.error = "IDX file not found: " + join_path(dir, func_file_name(func, ".IDX"));
        return m;
    }
    if (dat.kind == Entry::Kind::Absent) {
        m.error = "DAT file not found: " + join_path(dir, func_file_name(func, ".DAT"));
        return m;
    }
    const Read ri = model_read(idx);
    if (!ri.bytes) {
        m.error = os_error_text(ri.err);
        return m;
    }
    const Read rd = model_read(dat);
    if (!rd.bytes) {
        m.error = os_error_text(rd.err);
        return m;
    }
    // The whole-index decision, which the reader reaches from as few of the
    // index's records as it can.
    auto layout = resolve_layout(*ri.bytes, rd.bytes->size());
    if (!layout) {
        m.error = layout.error().text();
        return m;
    }
    if (*layout == IndexLayout::A)
        m.index.emplace(parse_variant_a(*ri.bytes));
    else
        m.index.emplace(parse_variant_b(*ri.bytes));
    m.dat = std::move(*rd.bytes);
    return m;
}

void check_failure(const Failure& got, const std::string& want, const char* what) {
    const std::string text = got.text();
    FUZZ_CHECK(text == want, std::string(what) + ": got \"" + text + "\", expected \"" + want + "\"");
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
    if (m.error) {
        FUZZ_CHECK(!n, "n_scans succeeded where it must fail with " + *m.error);
        check_failure(n.error(), *m.error, "n_scans");
        auto rt = run.retention_time(func, 0);
        FUZZ_CHECK(!rt, "retention_time succeeded");
        check_failure(rt.error(), *m.error, "retention_time");
    } else {
        FUZZ_CHECK(n.has_value(), "n_scans failed: " + n.error().text());
        FUZZ_CHECK(*n == m.index->size(), "n_scans disagrees with the index size");
        for (std::uint64_t i = 0; i <= *n; ++i) {
            auto rt = run.retention_time(func, i);
            if (i == *n) {
                FUZZ_CHECK(!rt, "retention_time past the last scan");
                check_failure(rt.error(), "scan " + std::to_string(i) + " out of range", "retention_time");
            } else {
                FUZZ_CHECK(rt.has_value(), rt.error().text());
                FUZZ_CHECK(fuzz::same_bits(*rt, m.index->rt_min(i)), "retention_time value");
            }
        }
    }

    // Spectrum queries consult the function table first.
    auto fn = run.get_function(func);
    if (!fn) {
        const std::string want = "function " + std::to_string(func) + " not found";
        check_failure(fn.error(), want, "get_function");
        auto s = run.read_spectrum(func, 0);
        FUZZ_CHECK(!s, "read_spectrum without a function");
        check_failure(s.error(), want, "read_spectrum");
        auto ims = run.read_ims_spectrum(func, 0);
        FUZZ_CHECK(!ims, "read_ims_spectrum without a function");
        check_failure(ims.error(), want, "read_ims_spectrum");
        return;
    }
    if (m.error) {
        auto s = run.read_spectrum(func, 0);
        FUZZ_CHECK(!s, "read_spectrum succeeded");
        check_failure(s.error(), *m.error, "read_spectrum");
        auto ims = run.read_ims_spectrum(func, 0);
        FUZZ_CHECK(!ims, "read_ims_spectrum succeeded");
        check_failure(ims.error(), *m.error, "read_ims_spectrum");
        return;
    }
    const TofCalibration cal = TofCalibration::build(*fn, run.header, run.extern_inf, func);
    const ScanIndex& index = *m.index;
    const std::uint64_t count = index.size();
    for (std::uint64_t i = 0; i <= count; ++i) {
        // A decoded scan takes at most 20 bytes per 8-byte record.
        fuzz::AllocationWatch watch(input_size, 8, 1 << 20);
        auto s = run.read_spectrum(func, i);
        auto ims = run.read_ims_spectrum(func, i);
        watch.check("Run::read_spectrum and Run::read_ims_spectrum");
        if (!index.is_variant_a()) {
            // Encoding B and C read the same records: same number of entries.
            if (s && ims) FUZZ_CHECK(s->mz.size() == ims->mz.size(), "Encoding B and C disagree on entries");
        } else {
            FUZZ_CHECK(!ims, "read_ims_spectrum on Variant A");
            check_failure(ims.error(), "function uses Encoding A (not IMS); use read_spectrum instead",
                          "read_ims_spectrum");
        }
        if (i == count) {
            const std::string want = "scan " + std::to_string(i) + " out of range";
            FUZZ_CHECK(!s, "read_spectrum past the last scan");
            check_failure(s.error(), want, "read_spectrum");
            if (!index.is_variant_a()) {
                FUZZ_CHECK(!ims, "read_ims_spectrum past the last scan");
                check_failure(ims.error(), want, "read_ims_spectrum");
            }
            continue;
        }
        const ScanRange range = index.byte_range(i, m.dat.size());
        if (range.kind == ScanRange::Kind::OutOfBounds) {
            FUZZ_CHECK(!s, "read_spectrum out of bounds");
            check_failure(s.error(), "scan offset out of DAT bounds", "read_spectrum");
            continue;
        }
        if (range.kind == ScanRange::Kind::Empty) {
            FUZZ_CHECK(s && s->mz.empty() && s->intensity.empty(), "empty Variant B scan");
            FUZZ_CHECK(ims && ims->mz.empty() && ims->drift_time_ms.empty() && ims->intensity.empty(),
                       "empty Variant B scan");
            continue;
        }
        const ByteView scan = ByteView(m.dat).subspan(range.start, range.end - range.start);
        auto want = index.is_variant_a() ? decode_encoding_a(scan, cal) : decode_encoding_c(scan, cal);
        if (!want) {
            FUZZ_CHECK(!s, "read_spectrum accepted a scan the decoder rejects");
            check_failure(s.error(), Error::parse(want.error()).text(), "read_spectrum");
        } else {
            FUZZ_CHECK(s.has_value(), s.error().text());
            FUZZ_CHECK(s->mz.size() == s->intensity.size(), "Spectrum arrays differ in length");
            check_same_arrays(s->mz, want->mz, "read_spectrum mz");
            check_same_arrays(s->intensity, want->intensity, "read_spectrum intensity");
        }
        if (!index.is_variant_a()) {
            auto want_ims = decode_encoding_b(scan, cal);
            if (!want_ims) {
                FUZZ_CHECK(!ims, "read_ims_spectrum accepted a scan the decoder rejects");
                check_failure(ims.error(), Error::parse(want_ims.error()).text(), "read_ims_spectrum");
            } else {
                FUZZ_CHECK(ims.has_value(), ims.error().text());
                FUZZ_CHECK(ims->mz.size() == ims->intensity.size() &&
                               ims->drift_time_ms.size() == ims->intensity.size(),
                           "ImsSpectrum arrays differ in length");
                check_same_arrays(ims->mz, want_ims->mz, "read_ims_spectrum mz");
                check_same_arrays(ims->drift_time_ms, want_ims->drift_time_ms, "read_ims_spectrum drift");
                check_same_arrays(ims->intensity, want_ims->intensity, "read_ims_spectrum intensity");
            }
        }
    }
}

void query_channel(const Run& run, std::uint64_t channel, const Entry* file) {
    auto pts = run.read_chrom(channel);
    if (!run.chroms_inf) {
        FUZZ_CHECK(!pts, "read_chrom without _CHROMS.INF");
        check_failure(pts.error(), "no _CHROMS.INF in this .raw directory", "read_chrom");
        return;
    }
    const Read r = file ? model_read(*file) : Read{std::nullopt, ENOENT};
    if (!r.bytes) {
        FUZZ_CHECK(!pts, "read_chrom of a missing file");
        check_failure(pts.error(), Error::io(r.err).text(), "read_chrom");
        return;
    }
    auto want = parse_chro_bytes(*r.bytes);
    if (!want) {
        FUZZ_CHECK(!pts, "read_chrom accepted what the parser rejects");
        check_failure(pts.error(), want.error().text(), "read_chrom");
        return;
    }
    FUZZ_CHECK(pts.has_value(), pts.error().text());
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
    const auto want = model_open_error(files);
    if (want) {
        FUZZ_CHECK(!run, "open succeeded where it must fail with " + *want);
        check_failure(run.error(), *want, "Run::open");
        return 0;
    }
    FUZZ_CHECK(run.has_value(), "open failed: " + run.error().text());
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
