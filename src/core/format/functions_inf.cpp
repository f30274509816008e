#include "core/format/functions_inf.hpp"

#include <string>
#include <utility>

#include "core/io/file.hpp"
#include "core/format/le.hpp"

namespace tessmoor::core {

namespace {

// Field offsets inside one 416-byte record.  Everything else in the record
// is left uninterpreted.  The float at offset 2 sits right after the two type
// bytes and is not 4-byte aligned; le::f32 assembles it byte by byte.
constexpr std::size_t off_function_type = 0;
constexpr std::size_t off_scan_subtype = 1;
constexpr std::size_t off_cycle_time = 2;
constexpr std::size_t off_tof_depth = 16;
constexpr std::size_t off_interscan_delay = 28;
constexpr std::size_t off_scan_time = 32;
constexpr std::size_t off_mz_low = 160;
constexpr std::size_t off_mz_high = 288;

static_assert(off_mz_high + 4 <= FunctionTable::record_size);

FunctionInfo parse_record(const std::uint8_t* r, std::uint32_t index) noexcept {
    FunctionInfo f;
    f.index = index;
    f.function_type = r[off_function_type];
    f.scan_subtype = r[off_scan_subtype];
    f.cycle_time_s = le::f32(r + off_cycle_time);
    f.interscan_delay_s = le::f32(r + off_interscan_delay);
    f.scan_time_s = le::f32(r + off_scan_time);
    f.tof_depth = le::u16(r + off_tof_depth);
    f.mz_low = le::f32(r + off_mz_low);
    f.mz_high = le::f32(r + off_mz_high);
    return f;
}

}  // namespace

Result<FunctionTable> FunctionTable::from_bytes(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    if (n % record_size != 0)
        return Status::format("_FUNCTNS.INF: file size " + std::to_string(n) +
                            " is not a multiple of 416 (record size)");

    // Records are numbered from 1 in file order; the number is the function
    // number of the _FUNCnnn.* files, not a field of the record.  A file
    // would need more than 1.7 TB to overflow the 32-bit index, so the
    // narrowing below only drops bits that cannot be set.
    const std::size_t count = n / record_size;
    FunctionTable table;
    table.functions.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        table.functions.push_back(
            parse_record(bytes.data() + k * record_size, static_cast<std::uint32_t>(k + 1)));
    return table;
}

Result<FunctionTable> FunctionTable::from_path(const std::string& path) {
    // The bytes are released when this returns, whichever way the parse goes.
    TESSMOOR_ASSIGN_OR_RETURN(const Bytes bytes, read_whole_file(path, FileRole::Functions));
    return in_file(from_bytes(bytes), path, FileRole::Functions);
}

}  // namespace tessmoor::core
