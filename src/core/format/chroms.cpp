#include "core/format/chroms.hpp"

#include <cstddef>
#include <string_view>
#include <utility>

#include "core/io/file.hpp"
#include "core/format/le.hpp"
#include "core/format/text.hpp"

namespace tessmoor::core {

namespace {

// _CHROMS.INF: a 128-byte header, N meta records that are skipped, then one
// 85-byte data record per channel.  N and the record size sit in the header.
constexpr std::size_t chroms_header_size = 128;
constexpr std::size_t chroms_record_size = 85;
constexpr std::size_t chroms_off_record_size = 4;
constexpr std::size_t chroms_off_meta_count = 6;
// The smallest file accepted: the header plus two records.
constexpr std::size_t chroms_min_size = chroms_header_size + 2 * chroms_record_size;

// A data record: the source device type, then the 81-byte name field.
constexpr std::size_t rec_off_name = 4;
constexpr std::size_t name_field_size = chroms_record_size - rec_off_name;

// _CHROnnn.DAT: a 128-byte header, then (rt_min, value) pairs of floats.
constexpr std::size_t chro_header_size = 128;
constexpr std::size_t chro_sample_size = 8;

constexpr std::string_view spec_marker = "$CC$";

// Windows-1252 bytes 0x80-0x9F.  The five bytes without a character of their
// own (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 control of the same
// number, so every byte still decodes and nothing is lost.
constexpr char32_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

using ByteSpan = std::span<const std::uint8_t>;

// Position of the first NUL in `s` at or after `from`, or s.size().
std::size_t find_nul(ByteSpan s, std::size_t from) noexcept {
    for (std::size_t i = from; i < s.size(); ++i)
        if (s[i] == 0) return i;
    return s.size();
}

// Position of the first "$CC$" that lies wholly inside `s`, or s.size().
std::size_t find_marker(ByteSpan s) noexcept {
    for (std::size_t p = 0; p + spec_marker.size() <= s.size(); ++p) {
        bool hit = true;
        for (std::size_t j = 0; j < spec_marker.size() && hit; ++j)
            hit = s[p + j] == static_cast<std::uint8_t>(spec_marker[j]);
        if (hit) return p;
    }
    return s.size();
}

struct ScaleUnits {
    double scale_f = 1.0;
    std::string units;
};

// The "$CC$" string is "$CC$,<scale>,a,b,c,<units>": six comma-separated
// pieces, the last taking everything after the fifth comma (commas
// included).  Only the scale and the units are used, and only together: a
// spec string that is short or whose scale does not parse as a number
// leaves the defaults, units included.
ScaleUnits parse_spec(ByteSpan spec) {
    std::size_t cut[5] = {};
    std::size_t found = 0;
    for (std::size_t i = 0; i < spec.size() && found < 5; ++i)
        if (spec[i] == ',') cut[found++] = i;
    if (found < 5) return {};

    const ByteSpan piece1 = spec.subspan(cut[0] + 1, cut[1] - cut[0] - 1);
    const ByteSpan piece5 = spec.subspan(cut[4] + 1);
    if (!text::is_valid_utf8(piece1)) return {};
    const std::string_view scale_text = text::trim(
        std::string_view(reinterpret_cast<const char*>(piece1.data()), piece1.size()));
    const auto scale = text::parse_float(scale_text);
    if (!scale) return {};
    return ScaleUnits{*scale, decode_windows_1252(piece5)};
}

ChromChannel parse_channel(const std::uint8_t* rec, std::uint64_t index) {
    ChromChannel ch;
    ch.index = index;
    ch.source_type = le::u32(rec);

    // The name ends at the first NUL, or fills the field.  The "$CC$" string
    // is searched for over the whole field, independently of the name: it
    // usually follows the name's NUL, but a marker before that NUL counts
    // too (and then also shows in the name).
    const ByteSpan field(rec + rec_off_name, name_field_size);
    ch.name = decode_windows_1252(field.first(find_nul(field, 0)));

    const std::size_t p = find_marker(field);
    if (p < field.size()) {
        const std::size_t end = find_nul(field, p);
        ScaleUnits su = parse_spec(field.subspan(p, end - p));
        ch.scale_f = su.scale_f;
        ch.units = std::move(su.units);
    }
    return ch;
}

}  // namespace

std::string decode_windows_1252(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const std::uint8_t b : bytes) {
        if (b >= 0x80 && b < 0xA0)
            text::append_utf8(out, cp1252_high[b - 0x80]);
        else
            text::append_utf8(out, static_cast<char32_t>(b));  // ASCII and Latin-1 coincide
    }
    return out;
}

Result<ChromsInf> ChromsInf::from_bytes(std::span<const std::uint8_t> bytes) {
    // All sizes are 64-bit so that 85 * N cannot overflow for any N.
    const std::uint64_t n = bytes.size();
    if (n < chroms_min_size)
        return Status::format("_CHROMS.INF too small: " + std::to_string(n) +
                            " bytes (need at least 298)");

    const std::uint16_t record_size = le::u16(bytes.data() + chroms_off_record_size);
    if (record_size != chroms_record_size)
        return Status::format("_CHROMS.INF: record size field is " + std::to_string(record_size) +
                            ", expected 85");

    const std::uint16_t meta_count = le::u16(bytes.data() + chroms_off_meta_count);
    const std::uint64_t data_start =
        chroms_header_size + chroms_record_size * static_cast<std::uint64_t>(meta_count);
    if (n < data_start)
        return Status::format("_CHROMS.INF: file too small for declared " +
                            std::to_string(meta_count) + " meta records");

    const std::uint64_t data_size = n - data_start;
    if (data_size % chroms_record_size != 0)
        return Status::format("_CHROMS.INF: data section size " + std::to_string(data_size) +
                            " is not a multiple of 85");

    // Channels are counted among the data records only; the meta records in
    // front of them do not take an index.
    const std::size_t count = static_cast<std::size_t>(data_size / chroms_record_size);
    ChromsInf out;
    out.channels.reserve(count);
    const std::uint8_t* base = bytes.data() + data_start;
    for (std::size_t k = 0; k < count; ++k)
        out.channels.push_back(parse_channel(base + k * chroms_record_size, k));
    return out;
}

Result<ChromsInf> ChromsInf::from_path(const std::string& path) {
    // The bytes are released when this returns, whichever way the parse goes.
    TESSMOOR_ASSIGN_OR_RETURN(const Bytes bytes, read_whole_file(path, FileRole::Chroms));
    return in_file(from_bytes(bytes), path, FileRole::Chroms);
}

Result<std::vector<ChromPoint>> parse_chro_bytes(std::span<const std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    if (n < chro_header_size)
        return Status::format("_CHRO*.DAT too small: " + std::to_string(n) +
                            " bytes (need at least 128)");
    const std::size_t data_size = n - chro_header_size;
    if (data_size % chro_sample_size != 0)
        return Status::format("_CHRO*.DAT data section size " + std::to_string(data_size) +
                            " is not a multiple of 8");

    // Samples are kept as stored: the channel's scale factor is not applied.
    const std::size_t count = data_size / chro_sample_size;
    std::vector<ChromPoint> points;
    points.reserve(count);
    const std::uint8_t* base = bytes.data() + chro_header_size;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint8_t* s = base + k * chro_sample_size;
        points.push_back(ChromPoint{le::f32(s), le::f32(s + 4)});
    }
    return points;
}

Result<std::vector<ChromPoint>> read_chro_dat(const std::string& path) {
    TESSMOOR_ASSIGN_OR_RETURN(const Bytes bytes, read_whole_file(path, FileRole::Channel));
    return in_file(parse_chro_bytes(bytes), path, FileRole::Channel);
}

std::string chro_file_name(std::uint64_t channel_index) {
    // Channel k lives in file number k + 3.  The sum is formed on the decimal
    // digits, so that the last three channel numbers of the 64-bit range give
    // 18446744073709551616 and up instead of wrapping round to 0, 1 and 2
    // (which would name another channel's file).
    std::string digits = std::to_string(channel_index);
    unsigned carry = 3;
    for (auto it = digits.rbegin(); it != digits.rend() && carry != 0; ++it) {
        const unsigned d = static_cast<unsigned>(*it - '0') + carry;
        *it = static_cast<char>('0' + d % 10);
        carry = d / 10;
    }
    if (carry != 0) digits.insert(digits.begin(), static_cast<char>('0' + carry));
    if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
    return "_CHRO" + digits + ".DAT";
}

}  // namespace tessmoor::core
