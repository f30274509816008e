#include "core/bulk/centroid.hpp"

#include "core/bulk/spectra.hpp"

namespace tessmoor::core {

namespace {

struct NeighbourSink {
    static constexpr bool eager_mz = false;
    static constexpr bool wants_position = true;
    bool split_on_field4 = false;
    std::uint64_t records = 0;
    std::uint64_t with_next = 0;
    bool have = false;
    RecordPosition last;

    template <class Mz, class Drift>
    void operator()(float, const Mz&, const Drift&, RecordPosition pos) {
        // A record counts when the record after it is its neighbour; so does
        // that one, when the one before it is: the pair's first is counted
        // here, as the second arrives.
        if (have && static_cast<std::uint32_t>(pos.bin) == static_cast<std::uint32_t>(last.bin) + 1 &&
            (!split_on_field4 || pos.field4 == last.field4))
            ++with_next;
        ++records;
        have = true;
        last = pos;
    }
};

}  // namespace

Status check_ion_options(const IonOptions& options, bool ims) {
    if (options.drift && !ims) return Status::invalid_argument("a drift window needs the ion-mobility reading (ims)");
    return Status::OK();
}

Result<NeighbourCount> count_neighbours(const Run& run, std::uint32_t func, std::uint64_t sample) {
    return guarded([&] {
        return with_function(run, func, FunctionReader::Purpose::Spectra,
                             [&](FunctionReader& f) -> Result<NeighbourCount> {
            TESSMOOR_RETURN_IF_ERROR(f.load_index());
            const std::uint64_t n = f.scan_count();
            std::vector<std::uint64_t> scans;
            if (n <= sample) {
                for (std::uint64_t i = 0; i < n; ++i) scans.push_back(i);
            } else {
                for (std::uint64_t k = 0; k < sample; ++k) scans.push_back(k * n / sample);
            }
            // The drift position is the record's own in a function with drift
            // times, whichever reading the caller makes.
            const bool ims = f.has_drift_times();
            const Encoding encoding = encoding_for(f.variant(), ims);
            NeighbourCount out;
            ChunkView view;
            // Scan by scan, so that a scan that cannot be read (past the end
            // of the DAT, refused by the decoder) is left out of the count
            // rather than failing it: the verdict is about the others.
            for (const std::uint64_t scan : scans) {
                const std::span<const std::uint64_t> one(&scan, 1);
                const Plan plan = plan_chunks(f, one);
                if (!plan.stop.ok()) continue;
                const PlannedRead r{f, one, plan, encoding};
                for (const Chunk& chunk : plan.chunks) {
                    Status loaded = view.load(r, chunk);
                    if (failed_with(loaded, StatusKind::Format)) continue;
                    TESSMOOR_RETURN_IF_ERROR(loaded);
                    NeighbourSink sink;
                    sink.split_on_field4 = ims;
                    TESSMOOR_RETURN_IF_ERROR(view.visit(r, chunk.p0, sink));
                    out.records += sink.records;
                    out.with_next += sink.with_next;
                    ++out.scans;
                }
            }
            return out;
        });
    });
}

}  // namespace tessmoor::core
