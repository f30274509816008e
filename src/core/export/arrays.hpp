// The binary data arrays of an mzML file, and the numbers that summarise a
// spectrum in its header.
//
// An mzML array is its values as little-endian bytes, or their MS-Numpress
// encoding (numpress.hpp), zlib-compressed or not, written as base64 text.
// Exports write millions of them, and the compression is what costs: so a
// whole batch of spectra is encoded in one call, every (spectrum, array)
// pair a task of its own, on several threads.
// No Python here: the binding hands in the flat arrays of a batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bulk/parallel.hpp"
#include "core/io/buffer.hpp"

namespace tessmoor::core {

enum class Compression : std::uint8_t { None, Zlib };

// The MS-Numpress scheme a column is encoded with before any compression:
// linear prediction for smooth series (m/z, drift times), short logged
// float for intensities, or none (the values' own bytes).
enum class Numpress : std::uint8_t { None, Linear, Slof };

// One array of numbers: its values of `width` bytes each (4 or 8), in the
// machine's byte order, `count` of them.
struct Column {
    const std::byte* data = nullptr;
    std::size_t width = 0;
    std::size_t count = 0;
    Numpress numpress = Numpress::None;
};

// True when `offsets` cut `count` values into parts: a first offset not
// below 0, offsets that never decrease, a last one not beyond `count`.
bool offsets_fit(std::span<const std::int64_t> offsets, std::size_t count) noexcept;

// Base64 texts in one buffer: text k is text[bounds[2k], bounds[2k + 1]).
// Texts follow each other in order, with unused bytes between them (each
// text was given the room its worst case needs).  numpressed[k] is 1 when
// text k holds its column's Numpress encoding, 0 when it holds the values'
// own bytes: a column without a scheme, or a part whose values the scheme
// cannot hold (NaN, say), which is stored exactly instead.
struct EncodedTexts {
    Array<std::uint8_t> text;
    Array<std::int64_t> bounds;
    Array<std::uint8_t> numpressed;
};

// For every part i (values offsets[i] to offsets[i + 1]) and every column
// c, in that order, the text of part i of column c: text k = i *
// columns.size() + c.  The offsets must fit every column (offsets_fit).
// zlib streams are written at the fastest level, with Huffman coding alone
// where string matching gains little: an export compresses gigabytes, and
// the default level costs several times as long for sizes a few percent
// smaller.  Every zlib reader inflates them alike.  InvalidArgument when the
// offsets do not fit.
Result<EncodedTexts> encode_arrays(std::span<const Column> columns, std::span<const std::int64_t> offsets,
                                   Compression compression, unsigned threads,
                                   const Interrupt* interrupt = nullptr);

// What an mzML spectrum states about its peaks, five numbers per spectrum
// (offsets as above, fitting both arrays):
//   total ion current: the intensities summed in float64, in peak order
//     (the sum of Run.tic);
//   base peak m/z and intensity: those of the first largest intensity (as
//     Run.base_peak), NaN and 0 without peaks;
//   lowest and highest m/z: NaN when no m/z is a number.
constexpr std::size_t summary_width = 5;

Result<Array<double>> summarize_spectra(std::span<const double> mz, std::span<const float> intensity,
                                        std::span<const std::int64_t> offsets);

}  // namespace tessmoor::core
