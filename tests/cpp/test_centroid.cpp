// The centroider fed a scan in pieces gives what it gives for the scan fed
// whole: peaks that cross the pieces (and its blocks of records), a peak
// longer than a block, records with no intensity, and the drift positions
// that split peaks in the ion-mobility reading.
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/bulk/centroid.hpp"

using namespace tessmoor::core;

namespace {

struct Centroid {
    float intensity;
    double mz, drift;
    bool operator==(const Centroid&) const = default;
};

// 8-byte records: intensity, the field beside the bin, the bin.
void put(std::vector<std::uint8_t>& scan, std::uint16_t intensity, std::uint16_t field4, std::uint16_t bin) {
    for (std::uint16_t v : {std::uint16_t{0}, intensity, field4, bin}) {
        scan.push_back(static_cast<std::uint8_t>(v & 0xff));
        scan.push_back(static_cast<std::uint8_t>(v >> 8));
    }
}

std::vector<std::uint8_t> scan_of_peaks() {
    std::mt19937 rng(5);
    std::vector<std::uint8_t> scan;
    std::uint16_t bin = 10;
    // A ramp of 3,000 bins: one peak longer than any block.
    for (int i = 0; i < 3000; ++i) put(scan, static_cast<std::uint16_t>(1 + i / 3), 7, bin++);
    bin += 2;
    // Noisy Gaussian-ish peaks, some at two drift positions, with records
    // of no intensity here and there.
    for (int p = 0; p < 400; ++p) {
        const int width = 1 + static_cast<int>(rng() % 12);
        const std::uint16_t field4 = static_cast<std::uint16_t>(rng() % 3);
        for (int i = 0; i < width; ++i) {
            const int centre = width / 2, d = i - centre;
            const int v = std::max(0, 3000 - 400 * d * d + static_cast<int>(rng() % 300)) * (rng() % 17 != 0);
            put(scan, static_cast<std::uint16_t>(v), field4, bin++);
        }
        bin += static_cast<std::uint16_t>(rng() % 3);
    }
    return scan;
}

std::vector<Centroid> centroids(const std::vector<std::uint8_t>& scan, std::size_t piece, bool ims) {
    const RecordsB<detail::MzUncalibrated> records(0.0, 100.0, 0.01, detail::MzUncalibrated{1.0}, 50.0);
    std::vector<Centroid> out;
    auto emit = [&](float v, double m, double d, RecordPosition) { out.push_back({v, m, d}); };
    auto keep = [](std::uint64_t) { return true; };
    Centroider c;
    c.reset(ims);
    const std::size_t n = scan.size() / 8;
    for (std::size_t i = 0; i < n; i += piece) c.feed(scan.data() + 8 * i, std::min(piece, n - i), records, keep, emit);
    c.flush(records, emit);
    return out;
}

}  // namespace

TEST(centroids_do_not_depend_on_how_a_scan_is_fed) {
    const std::vector<std::uint8_t> scan = scan_of_peaks();
    for (const bool ims : {false, true}) {
        const std::vector<Centroid> whole = centroids(scan, scan.size(), ims);
        CHECK(whole.size() > 400);
        for (const std::size_t piece : {1, 2, 7, 1023, 1024, 1025, 2999}) {
            check::Scope scope("ims " + std::to_string(ims) + ", pieces of " + std::to_string(piece));
            CHECK(centroids(scan, piece, ims) == whole);
        }
    }
}
