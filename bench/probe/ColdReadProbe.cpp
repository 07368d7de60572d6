// A fresh process that opens a slide through tarn.h, reads distinct random 512 x 512 regions of
// level 0 once each and reports the reads' time and the page faults they took:
//
//     tarn_cold_read_probe SLIDE [REGIONS [SEED]]   ->   "<seconds> <minor faults>"
//
// Run with TARN_CACHE_SIZE unset (the default cache) and with TARN_CACHE_SIZE=0 to compare what
// the cache costs a read that it cannot spare.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "tarn.h"

namespace {

constexpr int64_t kRegion = 512;

long MinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s SLIDE [REGIONS [SEED]]\n", argv[0]);
        return 2;
    }
    const int count = argc > 2 ? atoi(argv[2]) : 100;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : 1;
    tarn_slide* slide = tarn_open(argv[1]);
    if (slide == nullptr) {
        fprintf(stderr, "%s\n", tarn_get_error(nullptr));
        return 1;
    }
    int64_t width = 0, height = 0;
    tarn_get_level0_dimensions(slide, &width, &height);
    if (width < kRegion || height < kRegion) return 1;

    std::mt19937 engine(seed);
    std::set<std::pair<int64_t, int64_t>> seen;
    std::vector<std::pair<int64_t, int64_t>> regions;
    while (static_cast<int>(regions.size()) < count) {
        const auto x = static_cast<int64_t>(engine() % static_cast<uint64_t>(width - kRegion));
        const auto y = static_cast<int64_t>(engine() % static_cast<uint64_t>(height - kRegion));
        if (seen.insert({x, y}).second) regions.emplace_back(x, y);
    }
    std::vector<uint8_t> pixels(kRegion * kRegion * 4);

    const long faults = MinorFaults();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& [x, y] : regions)
        if (tarn_read_region(slide, pixels.data(), x, y, 0, kRegion, kRegion, TARN_FORMAT_RGBA) !=
            0) {
            fprintf(stderr, "%s\n", tarn_get_error(slide));
            return 1;
        }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    printf("%.6f %ld\n", seconds.count(), MinorFaults() - faults);
    tarn_close(slide);
    return 0;
}
