// The sequence of 512 x 512 regions that keeps reads cold for OpenSlide as well, whose 3.4.1 tile
// cache (32 MiB, not settable) cannot be turned off: no region starts on a tile edge, so each
// touches 3 x 3 tiles, and none touches a tile that one of the 16 regions before it touched. A
// tile comes back only after at least 16 x 9 = 144 others, more than the 128 decoded 256 x 256
// tiles that cache holds, so it has been evicted.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <vector>

namespace tarnbench {

inline constexpr int kColdRegionSide = 512;

struct RegionOrigin {
    int64_t x, y;
};

// 256 regions over a picture of `columns` x `rows` whole 256 x 256 tiles.
inline std::vector<RegionOrigin> ColdRegions(int64_t columns, int64_t rows) {
    constexpr int64_t kTile = 256;
    std::mt19937 engine(2024);
    const auto random = [&engine](int64_t below) {
        return static_cast<int64_t>(engine() % static_cast<uint64_t>(below));
    };
    std::vector<RegionOrigin> out;
    std::deque<std::set<int64_t>> recent;
    while (out.size() < 256) {
        const int64_t tx = random(columns - 2), ty = random(rows - 2);
        const RegionOrigin r{tx * kTile + 1 + random(kTile - 1),
                             ty * kTile + 1 + random(kTile - 1)};
        std::set<int64_t> tiles;
        for (int64_t dy = 0; dy < 3; ++dy)
            for (int64_t dx = 0; dx < 3; ++dx)
                tiles.insert((ty + dy) * columns + tx + dx);
        bool fresh = true;
        for (const std::set<int64_t>& earlier : recent)
            for (int64_t tile : tiles)
                fresh = fresh && earlier.count(tile) == 0;
        if (!fresh) continue;
        out.push_back(r);
        recent.push_back(tiles);
        if (recent.size() > 16) recent.pop_front();
    }
    return out;
}

}  // namespace tarnbench
