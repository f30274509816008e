// What the decoder harnesses share: how they split their input (a
// calibration prefix, then the scan's bytes), and the check of the decoder
// against the plain model of the records (reference.hpp).
//
//   byte 0      bit 0: a calibration line exists for the function
//               bit 1: its kind is T1 (else T0)
//               bits 2-4: number of coefficients (0-7)
//               bits 5-7: the piece size, in records, in which the record
//               loop is also run (kPieces)
//   8 bytes     lteff, 64-bit float
//   8 bytes     veff, 64-bit float
//   4 bytes     mz_low, 32-bit float
//   4 bytes     mz_high, 32-bit float
//   4 bytes     scan_time_s, 32-bit float
//   8 × count   coefficients, 64-bit floats
//   the rest    the scan bytes
//
// The calibration is built the way a query builds it, from a function
// record, a header and the instrument constants.
#pragma once

#include <cstdint>
#include <algorithm>
#include <span>
#include <string>

#include "common.hpp"
#include "core/decode/encodings.hpp"
#include "core/decode/records.hpp"
#include "reference.hpp"

namespace fuzz {

struct DecoderInput {
    tessmoor::core::TofCalibration cal;
    std::span<const std::uint8_t> scan;
    std::size_t piece = 1;  // records per piece of the record loop
};

// A bulk read streams a scan larger than a chunk in pieces of whole records,
// and the eager m/z loop works in blocks of 256: pieces that cut through a
// block, end on one, and hold one and a bit.
inline constexpr std::size_t kPieces[] = {1, 2, 3, 7, 64, 255, 256, 257};

inline DecoderInput split_decoder_input(const std::uint8_t* data, std::size_t size) {
    using namespace tessmoor::core;
    Reader in(std::span<const std::uint8_t>(data, size));
    const std::uint8_t flags = in.byte();
    ExternInf ext;
    ext.lteff = in.value<double>();
    ext.veff = in.value<double>();
    FunctionInfo fn;
    fn.index = 1;
    fn.mz_low = in.value<float>();
    fn.mz_high = in.value<float>();
    fn.scan_time_s = in.value<float>();
    Header header;
    Calibration c;
    c.kind = (flags & 2) ? CalibrationKind::T1 : CalibrationKind::T0;
    const unsigned count = (flags >> 2) & 7;
    for (unsigned j = 0; j < count; ++j) c.coefficients.push_back(in.value<double>());
    if (flags & 1) header.calibrations.emplace(1, std::move(c));
    return DecoderInput{TofCalibration::build(fn, header, ext, 1), in.rest(), kPieces[flags >> 5]};
}

// Gathers what the record loop hands out.  Eager sinks get each m/z
// computed a block at a time, lazy ones call for it record by record (as the
// reductions do): both must give the model's numbers.
template <bool Eager>
struct GatherSink {
    static constexpr bool eager_mz = Eager;
    ReferencePeaks* out;
    bool drift;

    template <class Mz, class Drift>
    void operator()(float value, const Mz& mz_of, const Drift& drift_of) {
        out->mz.push_back(mz_of());
        out->intensity.push_back(value);
        if (drift) out->drift_time_ms.push_back(drift_of());
    }
};

template <class A, class B>
void check_same_values(const A& got, const B& want, std::size_t n, const char* what) {
    for (std::size_t k = 0; k < n; ++k) FUZZ_CHECK(same_value(got[k], want[k]), what);
}

inline void check_peaks(const ReferencePeaks& got, const ReferencePeaks& want, const char* what) {
    FUZZ_CHECK(got.mz.size() == want.mz.size() && got.intensity.size() == want.intensity.size() &&
                   got.drift_time_ms.size() == want.drift_time_ms.size(),
               std::string(what) + ": peak count");
    check_same_values(got.mz, want.mz, want.mz.size(), what);
    check_same_values(got.intensity, want.intensity, want.intensity.size(), what);
    check_same_values(got.drift_time_ms, want.drift_time_ms, want.drift_time_ms.size(), what);
}

// Decodes the scan as a one-scan read does (decode_scan) and as a bulk read
// does (plan_scan, then the record loop over pieces of `input.piece`
// records), and holds both against the model: the model's message as a
// Format status, or its peaks bit for bit.  A decode allocates its three
// arrays of at most max_peaks entries (20 bytes for each 8-byte record)
// and nothing else in proportion to the scan.  Returns the model's answer.
inline ReferenceScan check_decoder(tessmoor::core::Encoding encoding, const DecoderInput& input) {
    using namespace tessmoor::core;
    const std::span<const std::uint8_t> scan = input.scan;
    const ReferenceScan want = reference_decode(encoding, scan, input.cal);

    AllocationWatch watch(scan.size(), 3, 4096);
    Result<Peaks> decoded = decode_scan(encoding, scan, input.cal);
    watch.check("decode_scan");
    if (want.error) {
        FUZZ_CHECK(!decoded, "decode_scan accepted a scan the model rejects: " + *want.error);
        const Status& s = decoded.status();
        FUZZ_CHECK(s.kind() == StatusKind::Format && s.message() == *want.error,
                   s.context_text() + " / expected " + *want.error);
        FUZZ_CHECK(s.text() == "parse error: " + *want.error, s.text());
    } else {
        FUZZ_CHECK(decoded.ok(), decoded.status().context_text());
        const Peaks& p = *decoded;
        ReferencePeaks got;
        got.mz.assign(p.mz.data(), p.mz.data() + p.mz.size());
        got.intensity.assign(p.intensity.data(), p.intensity.data() + p.intensity.size());
        got.drift_time_ms.assign(p.drift_time_ms.data(), p.drift_time_ms.data() + p.drift_time_ms.size());
        check_peaks(got, want.peaks, "decode_scan");
    }

    // The bulk reads' way: the checks from the first and last records alone,
    // then the records in pieces.
    const std::size_t rs = record_size(encoding);
    const std::uint8_t* last = scan.size() >= rs ? scan.data() + scan.size() - rs : scan.data();
    Result<ScanPlan> plan = plan_scan(encoding, scan.size(), scan.data(), last, input.cal);
    FUZZ_CHECK(plan.ok() == !want.error, "plan_scan and decode_scan disagree on the checks");
    if (!plan) {
        FUZZ_CHECK(plan.status().text() == decoded.status().text(), plan.status().text());
        return want;
    }
    ReferencePeaks eager, lazy;
    GatherSink<true> eager_sink{&eager, encoding == Encoding::B};
    GatherSink<false> lazy_sink{&lazy, encoding == Encoding::B};
    for (std::size_t r = plan->first; r < plan->records; r += input.piece) {
        const std::size_t n = std::min(input.piece, plan->records - r);
        visit_records(*plan, input.cal, scan.data() + r * rs, n, eager_sink);
        visit_records(*plan, input.cal, scan.data() + r * rs, n, lazy_sink);
    }
    check_peaks(eager, want.peaks, "record loop in pieces, m/z in blocks");
    check_peaks(lazy, want.peaks, "record loop in pieces, m/z per record");
    return want;
}

}  // namespace fuzz
