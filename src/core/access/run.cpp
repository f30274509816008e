#include "core/access/run.hpp"

#include <cstdio>
#include <utility>

#include "core/access/function_reader.hpp"
#include "core/io/file.hpp"

namespace tessmoor::core {

std::string func_file_name(std::uint32_t func_index, const char* suffix) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "_FUNC%03u%s", static_cast<unsigned>(func_index), suffix);
    return buf;
}

Result<Run> Run::open(std::string path) {
    return guarded([&]() -> Result<Run> {
        if (const int why = directory_error(path)) return Status::not_directory(path, why);
        TESSMOOR_ASSIGN_OR_RETURN(Header header, Header::from_path(join_path(path, "_HEADER.TXT")));
        TESSMOOR_ASSIGN_OR_RETURN(ExternInf extern_inf, ExternInf::from_path(join_path(path, "_extern.inf")));
        TESSMOOR_ASSIGN_OR_RETURN(FunctionTable table, FunctionTable::from_path(join_path(path, "_FUNCTNS.INF")));
        // The channel table is optional: a failed status query (missing
        // file, dangling link) means "no channels"; anything that exists
        // must parse.
        std::optional<ChromsInf> chroms;
        if (const std::string chroms_path = join_path(path, "_CHROMS.INF"); path_exists(chroms_path)) {
            TESSMOOR_ASSIGN_OR_RETURN(chroms, ChromsInf::from_path(chroms_path));
        }
        return Run{std::move(path), std::move(header), std::move(extern_inf), std::move(table), std::move(chroms), {}};
    });
}

Result<FunctionInfo> Run::get_function(std::uint32_t func_index) const {
    for (const auto& f : function_table.functions)
        if (f.index == func_index) return f;
    // The table numbers its functions 1, 2, ... in file order.
    const std::size_t n = function_table.functions.size();
    std::string choices = n == 0   ? "the run lists no functions"
                          : n == 1 ? "the run's only function is 1"
                                   : "the run's functions are 1 to " + std::to_string(n);
    return Status::function_not_found(func_index)
        .in_file(join_path(path, "_FUNCTNS.INF"), FileRole::Functions)
        .with_detail(std::move(choices));
}

Result<std::uint64_t> Run::n_scans(std::uint32_t func_index) const {
    return guarded([&] {
        return with_function(*this, func_index, FunctionReader::Purpose::Index,
                             [](const FunctionReader& f) -> Result<std::uint64_t> { return f.scan_count(); });
    });
}

Result<double> Run::retention_time(std::uint32_t func_index, std::uint64_t scan_index) const {
    return guarded([&] {
        return with_function(*this, func_index, FunctionReader::Purpose::Index,
                             [&](const FunctionReader& f) -> Result<double> {
                                 TESSMOOR_ASSIGN_OR_RETURN(const std::uint64_t i, f.scan_number(scan_index, false));
                                 TESSMOOR_ASSIGN_OR_RETURN(const ScanEntry e, f.entry(i));
                                 return e.rt_min;
                             });
    });
}

Result<ScanRead> Run::read_scan(std::uint32_t func_index, std::uint64_t magnitude, bool negative, bool ims) const {
    return guarded([&] {
        return with_function(*this, func_index, FunctionReader::Purpose::Spectra,
                             [&](const FunctionReader& f) -> Result<ScanRead> {
            TESSMOOR_RETURN_IF_ERROR(f.check_reading(ims));
            TESSMOOR_ASSIGN_OR_RETURN(const std::uint64_t number, f.scan_number(magnitude, negative));
            TESSMOOR_ASSIGN_OR_RETURN(const ScanEntry e, f.entry(number));
            auto at_scan = [&](Status s) {
                return std::move(s).in_file(f.dat_path(), FileRole::Data).in_function(func_index).at_scan(number);
            };
            ScanRead out{number, e.rt_min, {}};
            switch (e.range.kind) {
                case ScanRange::Kind::OutOfBounds: return at_scan(Status::scan_out_of_bounds());
                // A Variant B scan whose range is empty: an empty spectrum,
                // not an error.
                case ScanRange::Kind::Empty: return out;
                case ScanRange::Kind::Bytes: break;
            }
            Bytes scratch;
            scratch.resize(static_cast<std::size_t>(e.range.end - e.range.start));
            TESSMOOR_ASSIGN_OR_RETURN(const auto bytes, f.read(e.range.start, scratch));
            auto peaks = decode_scan(encoding_for(f.variant(), ims), bytes, f.calibration());
            if (!peaks) return at_scan(std::move(peaks).status());
            out.peaks = std::move(peaks).value();
            return out;
        });
    });
}

Result<Spectrum> Run::read_spectrum(std::uint32_t func_index, std::uint64_t scan_index) const {
    TESSMOOR_ASSIGN_OR_RETURN(ScanRead s, read_scan(func_index, scan_index, false, false));
    return Spectrum{std::move(s.peaks.mz), std::move(s.peaks.intensity)};
}

Result<ImsSpectrum> Run::read_ims_spectrum(std::uint32_t func_index, std::uint64_t scan_index) const {
    TESSMOOR_ASSIGN_OR_RETURN(ScanRead s, read_scan(func_index, scan_index, false, true));
    return ImsSpectrum{std::move(s.peaks.mz), std::move(s.peaks.drift_time_ms), std::move(s.peaks.intensity)};
}

Result<std::vector<ChromPoint>> Run::read_chrom(std::uint64_t channel_index) const {
    if (!chroms_inf) return Status::no_chroms(join_path(path, "_CHROMS.INF"));
    return guarded([&] { return read_chro_dat(join_path(path, chro_file_name(channel_index))); });
}

}  // namespace tessmoor::core
