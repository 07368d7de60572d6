#include "Service/Levels.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Common/Geometry.h"
#include "Core/Tiles.h"

namespace tarn {

bool MeasureLevels(const Slide& slide, std::vector<Level>* levels, std::string* why) {
    const SlideHead& head = slide.records.head;
    levels->clear();
    levels->reserve(slide.layout.layerCount);
    for (uint32_t k = 0; k < slide.layout.layerCount; ++k) {
        const LayerGeometry& geometry = slide.layout.layers[k].grid;
        if (!geometry.hasPicture() || geometry.pictureWidth() == 0 ||
            geometry.pictureHeight() == 0) {
            *why = "level " + std::to_string(k) + " has no picture: its bound area (" +
                   std::to_string(geometry.boundWidth) + " x " +
                   std::to_string(geometry.boundHeight) + ") covers its grid (" +
                   std::to_string(geometry.gridWidth()) + " x " +
                   std::to_string(geometry.gridHeight()) + ")";
            return false;
        }
        // Grids fit in an int (checked at open), so pictures do too.
        Level level;
        level.width = static_cast<int64_t>(geometry.pictureWidth());
        level.height = static_cast<int64_t>(geometry.pictureHeight());
        level.tileWidth = head.TileWidth;
        level.tileHeight = head.TileHeight;
        const Level& base = k == 0 ? level : levels->front();
        level.downsample = LevelDownsample(head.Ratio, static_cast<int>(k), base.width, base.height,
                                           level.width, level.height);
        levels->push_back(level);
    }
    return true;
}

double LevelDownsample(double ratio, int k, int64_t width0, int64_t height0, int64_t width,
                       int64_t height) {
    const auto w0 = static_cast<double>(width0), h0 = static_cast<double>(height0);
    const auto w = static_cast<double>(width), h = static_cast<double>(height);
    if (std::isfinite(ratio) && ratio > 0) {
        const double stated = std::pow(ratio, k);
        if (std::isfinite(stated) && stated > 0 && std::fabs(w0 / stated - w) <= 1 &&
            std::fabs(h0 / stated - h) <= 1)
            return stated;
    }
    return (w0 / w + h0 / h) / 2;
}

int32_t BestLevelFor(const std::vector<Level>& levels, double downsample) {
    if (levels.empty() || downsample < levels[0].downsample) return 0;
    for (size_t i = 1; i < levels.size(); ++i)
        if (downsample < levels[i].downsample) return static_cast<int32_t>(i - 1);
    return static_cast<int32_t>(levels.size() - 1);
}

int64_t ToLevel(int64_t v, double downsample) {
    // Far outside any picture the exact value does not matter, only that it stays far outside and
    // leaves room to add a region's size without overflow.
    constexpr int64_t kFar = int64_t{1} << 62;
    // Whole downsamples (1, 2, 4, 8 on the usual slides) divide exactly in integers, also where a
    // coordinate has more digits than a double holds.
    if (downsample == std::floor(downsample) && downsample >= 1 && downsample < 0x1p62) {
        const auto d = static_cast<int64_t>(downsample);
        const int64_t quotient = v / d - (v % d != 0 && v < 0 ? 1 : 0);
        return std::clamp(quotient, -kFar, kFar);
    }
    const double level = std::floor(static_cast<double>(v) / downsample);
    return static_cast<int64_t>(
        std::clamp(level, static_cast<double>(-kFar), static_cast<double>(kFar)));
}

std::optional<Bounds> StoredTileBounds(const Slide& slide, const Level& level0) {
    const LayerTiles& layer = slide.layout.layers[0];
    const auto tileWidth = static_cast<uint64_t>(level0.tileWidth);
    const auto tileHeight = static_cast<uint64_t>(level0.tileHeight);
    // Only tiles that show some of the picture count.
    const uint32_t columns = static_cast<uint32_t>(
        std::min<uint64_t>(layer.grid.columns, TilesToCover(level0.width, tileWidth)));
    const uint32_t rows = static_cast<uint32_t>(
        std::min<uint64_t>(layer.grid.rows, TilesToCover(level0.height, tileHeight)));
    uint32_t left = UINT32_MAX, top = UINT32_MAX, right = 0, bottom = 0;
    for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < columns; ++x) {
            if (TileAt(layer, x, y).empty()) continue;
            left = std::min(left, x);
            top = std::min(top, y);
            right = std::max(right, x + 1);
            bottom = std::max(bottom, y + 1);
        }
    if (left == UINT32_MAX) return std::nullopt;
    Bounds bounds;
    bounds.x = static_cast<int64_t>(left * tileWidth);
    bounds.y = static_cast<int64_t>(top * tileHeight);
    bounds.width = std::min(static_cast<int64_t>(right * tileWidth), level0.width) - bounds.x;
    bounds.height = std::min(static_cast<int64_t>(bottom * tileHeight), level0.height) - bounds.y;
    return bounds;
}

}  // namespace tarn
