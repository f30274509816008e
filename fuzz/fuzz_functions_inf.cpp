// _FUNCTNS.INF function table: 416-byte records, accepted only when the size
// fits exactly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common.hpp"
#include "core/format/functions_inf.hpp"

using namespace tessmoor::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::AllocationWatch watch(size, 4, 4096);
    auto parsed = FunctionTable::from_bytes(std::span<const std::uint8_t>(data, size));
    watch.check("FunctionTable::from_bytes");

    if (size % 416 != 0) {
        FUZZ_CHECK(!parsed, "a size that is not a multiple of 416 must fail");
        FUZZ_CHECK(parsed.status().kind() == StatusKind::Format, "parse kind");
        const std::string want = "_FUNCTNS.INF: file size " + std::to_string(size) +
                                 " is not a multiple of 416 (record size)";
        FUZZ_CHECK(parsed.status().message() == want, parsed.status().message());
        return 0;
    }
    FUZZ_CHECK(parsed.ok(), parsed.status().text());
    const auto& fs = parsed->functions;
    FUZZ_CHECK(fs.size() == size / 416, "one function per record");
    for (std::size_t k = 0; k < fs.size(); ++k) {
        const std::uint8_t* r = data + 416 * k;
        const FunctionInfo& f = fs[k];
        FUZZ_CHECK(f.index == k + 1, "index is the 1-based position");
        FUZZ_CHECK(f.function_type == r[0] && f.scan_subtype == r[1], "type bytes");
        FUZZ_CHECK(fuzz::same_bits(f.cycle_time_s, fuzz::f32(r + 2)), "cycle_time_s");
        FUZZ_CHECK(f.tof_depth == fuzz::u16(r + 16), "tof_depth");
        FUZZ_CHECK(fuzz::same_bits(f.interscan_delay_s, fuzz::f32(r + 28)), "interscan_delay_s");
        FUZZ_CHECK(fuzz::same_bits(f.scan_time_s, fuzz::f32(r + 32)), "scan_time_s");
        FUZZ_CHECK(fuzz::same_bits(f.mz_low, fuzz::f32(r + 160)), "mz_low");
        FUZZ_CHECK(fuzz::same_bits(f.mz_high, fuzz::f32(r + 288)), "mz_high");
        FUZZ_CHECK(f.is_lock_mass() == (r[1] >= 0x80), "is_lock_mass");
    }
    return 0;
}
