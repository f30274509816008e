#include "core/export/arrays.hpp"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "core/bulk/parallel.hpp"
#include "core/export/numpress.hpp"

namespace tessmoor::core {

namespace {

constexpr std::size_t base64_size(std::size_t bytes) noexcept { return (bytes + 2) / 3 * 4; }

// Standard base64 with padding, as XML Schema's base64Binary reads it.
void base64(const std::uint8_t* in, std::size_t n, std::uint8_t* out) noexcept {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::uint8_t* const whole_end = in + n / 3 * 3;
    for (; in != whole_end; in += 3, out += 4) {
        const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
        out[0] = alphabet[v >> 18];
        out[1] = alphabet[(v >> 12) & 63];
        out[2] = alphabet[(v >> 6) & 63];
        out[3] = alphabet[v & 63];
    }
    switch (n % 3) {
        case 1: {
            const std::uint32_t v = std::uint32_t{in[0]} << 16;
            out[0] = alphabet[v >> 18];
            out[1] = alphabet[(v >> 12) & 63];
            out[2] = out[3] = '=';
            break;
        }
        case 2: {
            const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8);
            out[0] = alphabet[v >> 18];
            out[1] = alphabet[(v >> 12) & 63];
            out[2] = alphabet[(v >> 6) & 63];
            out[3] = '=';
            break;
        }
        default: break;
    }
}

// zlib's room for the stream of n bytes: compressBound's, and a little
// for the block Deflater::compress ends after its probe.
std::size_t zlib_room(std::size_t n) noexcept { return static_cast<std::size_t>(compressBound(n)) + 16; }

// A thread's deflate stream, set up once and reset for every array.
class Deflater {
public:
    Deflater() { ready_ = deflateInit2(&z_, Z_BEST_SPEED, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) == Z_OK; }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() {
        if (ready_) deflateEnd(&z_);
    }

    // False when zlib could not set up its stream (out of memory).
    bool ready() const noexcept { return ready_; }

    // The zlib stream of in[0, n) written to out, which holds
    // zlib_room(n) bytes; returns its size.  Failures are broken
    // invariants: the room suffices for any input, and the stream is ours.
    //
    // Level 1 spends most of its time looking for repeated strings, and in
    // arrays whose low bytes are noise (m/z values with bin fractions, say)
    // it finds few: Huffman coding alone then gives nearly the same size in
    // half the time.  So the first probe_bytes are compressed as one block
    // at level 1, and when they shrank by less than 15 %, the rest of the
    // array is Huffman-coded only.  Either way it is one zlib stream.
    Result<std::size_t> compress(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t room) {
        constexpr std::size_t probe_bytes = 16 << 10;
        deflateReset(&z_);
        deflateParams(&z_, Z_BEST_SPEED, Z_DEFAULT_STRATEGY);  // no input yet: only sets them
        z_.avail_in = 0;
        std::size_t head = 0;
        if (n > probe_bytes) {
            head = probe_bytes;
            TESSMOOR_RETURN_IF_ERROR(pump(in, head, Z_BLOCK, out, room));
            if (z_.total_out * 20 > head * 17) deflateParams(&z_, Z_BEST_SPEED, Z_HUFFMAN_ONLY);
        }
        TESSMOOR_RETURN_IF_ERROR(pump(in + head, n - head, Z_FINISH, out, room));
        return static_cast<std::size_t>(z_.total_out);
    }

private:
    // Feeds in[0, len) and deflates it with `flush` at its end (Z_BLOCK: the
    // block is completed; Z_FINISH: the stream).  zlib counts in 32 bits,
    // so larger inputs go in pieces.
    Status pump(const std::uint8_t* in, std::size_t len, int flush, std::uint8_t* out, std::size_t room) {
        constexpr std::size_t step = UINT_MAX;
        for (;;) {
            if (z_.avail_in == 0 && len > 0) {
                const std::size_t take = std::min(len, step);
                z_.next_in = const_cast<Bytef*>(in);
                z_.avail_in = static_cast<uInt>(take);
                in += take;
                len -= take;
            }
            const std::size_t done = z_.total_out;
            if (done == room) return Status::internal("deflate: output beyond its room");
            z_.next_out = out + done;
            z_.avail_out = static_cast<uInt>(std::min(room - done, step));
            const int mode = len == 0 ? flush : Z_NO_FLUSH;
            const int rc = deflate(&z_, mode);
            if (rc == Z_STREAM_END) return Status::OK();
            if (rc != Z_OK && rc != Z_BUF_ERROR) return Status::internal("deflate: stream state broken");
            if (mode == Z_BLOCK && z_.avail_in == 0 && z_.avail_out > 0) return Status::OK();
        }
    }

    z_stream z_{};
    bool ready_ = false;
};

// A thread's scratch space: its deflate stream, made on first use, and the
// bytes it compresses into.
struct Scratch {
    std::unique_ptr<Deflater> deflater;
    std::vector<std::uint8_t> compressed;
    std::vector<std::uint8_t> numpressed;
    std::vector<double> widened;        // float32 values for linear prediction
    std::vector<std::uint8_t> swapped;  // big-endian machines only
};

// The most bytes the Numpress encoding of `count` values takes.
std::size_t numpress_room(Numpress scheme, std::size_t count) noexcept {
    switch (scheme) {
        case Numpress::Linear: return numpress::linear_room(count);
        case Numpress::Slof: return numpress::slof_room(count);
        case Numpress::None: break;
    }
    return 0;
}

// The Numpress encoding of `count` values of the column from `first` into
// s.numpressed; its size, or nothing when the scheme cannot hold them.
std::optional<std::size_t> numpress_encode(const Column& column, std::size_t first, std::size_t count,
                                           Scratch& s) {
    s.numpressed.resize(numpress_room(column.numpress, count));
    const std::byte* at = column.data + first * column.width;
    numpress::Encoded encoded;
    if (column.width == sizeof(double)) {
        const std::span values(reinterpret_cast<const double*>(at), count);
        encoded = column.numpress == Numpress::Linear ? numpress::encode_linear(values, s.numpressed.data())
                                                      : numpress::encode_slof(values, s.numpressed.data());
    } else {
        const std::span values(reinterpret_cast<const float*>(at), count);
        if (column.numpress == Numpress::Slof) {
            encoded = numpress::encode_slof(values, s.numpressed.data());
        } else {
            s.widened.assign(values.begin(), values.end());
            encoded = numpress::encode_linear(s.widened, s.numpressed.data());
        }
    }
    if (encoded.fault != numpress::Fault::None) return std::nullopt;
    return encoded.size;
}

// The values' little-endian bytes: the values themselves on little-endian
// machines, a byte-reversed copy elsewhere.
const std::uint8_t* little_endian(const std::byte* data, std::size_t width, std::size_t count,
                                  std::vector<std::uint8_t>& copy) {
    if constexpr (std::endian::native == std::endian::little) {
        (void)width, (void)count, (void)copy;
        return reinterpret_cast<const std::uint8_t*>(data);
    } else {
        copy.resize(width * count);
        for (std::size_t i = 0; i < count; ++i)
            std::reverse_copy(reinterpret_cast<const std::uint8_t*>(data) + i * width,
                              reinterpret_cast<const std::uint8_t*>(data) + (i + 1) * width, copy.data() + i * width);
        return copy.data();
    }
}

}  // namespace

bool offsets_fit(std::span<const std::int64_t> offsets, std::size_t count) noexcept {
    if (offsets.empty()) return true;
    if (offsets.front() < 0) return false;
    for (std::size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] < offsets[i - 1]) return false;
    return static_cast<std::uint64_t>(offsets.back()) <= count;
}

Result<EncodedTexts> encode_arrays(std::span<const Column> columns, std::span<const std::int64_t> offsets,
                                   Compression compression, unsigned threads, const Interrupt* interrupt) {
    if (!offsets_fit(offsets, std::numeric_limits<std::size_t>::max()))
        return Status::invalid_argument("offsets must not decrease and must lie within the arrays");
    for (const Column& c : columns)
        if (!offsets_fit(offsets, c.count))
            return Status::invalid_argument("offsets must not decrease and must lie within the arrays");
    const std::size_t parts = offsets.empty() ? 0 : offsets.size() - 1;
    const std::size_t k = columns.size();
    const std::size_t texts = parts * k;
    auto input_bytes = [&](std::size_t t) {
        const std::size_t i = t / k;
        return static_cast<std::size_t>(offsets[i + 1] - offsets[i]) * columns[t % k].width;
    };
    // A Numpress part may fall back to the values' own bytes: its room is
    // the larger of the two.
    auto room_for = [&](std::size_t t) {
        const Column& column = columns[t % k];
        const std::size_t i = t / k;
        const std::size_t bytes = std::max(
            input_bytes(t), numpress_room(column.numpress, static_cast<std::size_t>(offsets[i + 1] - offsets[i])));
        return compression == Compression::Zlib ? zlib_room(bytes) : bytes;
    };

    // Each text gets the room its worst case needs, so that threads write
    // straight into place; the room a text leaves unused is never touched.
    EncodedTexts out;
    TESSMOOR_ASSIGN_OR_RETURN(out.bounds, Array<std::int64_t>::allocate(2 * texts));
    TESSMOOR_ASSIGN_OR_RETURN(out.numpressed, Array<std::uint8_t>::allocate(texts));
    std::size_t total = 0;
    for (std::size_t t = 0; t < texts; ++t) {
        out.bounds[2 * t] = static_cast<std::int64_t>(total);
        total += base64_size(room_for(t));
    }
    TESSMOOR_ASSIGN_OR_RETURN(out.text, Array<std::uint8_t>::allocate(total));

    std::vector<Scratch> scratch(worker_count(texts, threads));
    ParallelFor parallel(texts, threads, interrupt);
    TESSMOOR_RETURN_IF_ERROR(parallel.run([&](std::size_t t, std::size_t w) -> Status {
        const Column& column = columns[t % k];
        const std::size_t first = static_cast<std::size_t>(offsets[t / k]);
        const std::size_t count = static_cast<std::size_t>(offsets[t / k + 1]) - first;
        Scratch& s = scratch[w];
        const std::uint8_t* bytes = nullptr;
        std::size_t n = 0;
        const std::optional<std::size_t> numpressed =
            column.numpress == Numpress::None ? std::nullopt : numpress_encode(column, first, count, s);
        out.numpressed[t] = numpressed.has_value();
        if (numpressed) {
            bytes = s.numpressed.data();
            n = *numpressed;
        } else {
            bytes = little_endian(column.data + first * column.width, column.width, count, s.swapped);
            n = count * column.width;
        }
        if (compression == Compression::Zlib) {
            if (!s.deflater) s.deflater = std::make_unique<Deflater>();
            if (!s.deflater->ready()) return Status::out_of_memory(0);
            const std::size_t room = zlib_room(n);
            if (s.compressed.size() < room) s.compressed.resize(room);
            TESSMOOR_ASSIGN_OR_RETURN(n, s.deflater->compress(bytes, n, s.compressed.data(), room));
            bytes = s.compressed.data();
        }
        const std::int64_t start = out.bounds[2 * t];
        base64(bytes, n, out.text.data() + start);
        out.bounds[2 * t + 1] = start + static_cast<std::int64_t>(base64_size(n));
        return Status::OK();
    }));
    return out;
}

Result<Array<double>> summarize_spectra(std::span<const double> mz, std::span<const float> intensity,
                                        std::span<const std::int64_t> offsets) {
    if (mz.size() != intensity.size()) return Status::invalid_argument("mz and intensity differ in length");
    if (!offsets_fit(offsets, mz.size()))
        return Status::invalid_argument("offsets must not decrease and must lie within the arrays");
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t n = offsets.empty() ? 0 : offsets.size() - 1;
    TESSMOOR_ASSIGN_OR_RETURN(Array<double> out, Array<double>::allocate(bytes_of(n, summary_width)));
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = static_cast<std::size_t>(offsets[i]), hi = static_cast<std::size_t>(offsets[i + 1]);
        double tic = 0.0;
        float best = 0.0f;
        double best_mz = nan;
        double low = std::numeric_limits<double>::infinity(), high = -low;
        bool any = false;
        for (std::size_t p = lo; p < hi; ++p) {
            const float v = intensity[p];
            const double m = mz[p];
            tic += static_cast<double>(v);
            if (v > best) {
                best = v;
                best_mz = m;
            }
            if (std::isnan(m)) continue;
            any = true;
            low = std::min(low, m);
            high = std::max(high, m);
        }
        double* row = out.data() + i * summary_width;
        row[0] = tic;
        row[1] = best_mz;
        row[2] = static_cast<double>(best);
        row[3] = any ? low : nan;
        row[4] = any ? high : nan;
    }
    return out;
}

}  // namespace tessmoor::core
