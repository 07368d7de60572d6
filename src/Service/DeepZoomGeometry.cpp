#include "Service/DeepZoomGeometry.h"

#include <algorithm>
#include <cmath>

namespace tarn {
namespace {

int64_t Ceil(double value) {
    return static_cast<int64_t>(std::ceil(value));
}

// One axis of a tile: its position and size in the Deep Zoom level, where it lies in level 0,
// and how much of the slide level it reads.
struct TileAxis {
    int64_t level0 = 0;
    int64_t read = 0;
    int64_t size = 0;
};

TileAxis AxisOf(const DeepZoomPlan& plan, const DeepZoomLevel& level, int64_t index, int64_t count,
                int64_t zoomLength, int64_t slideLength, int64_t offset) {
    const int64_t before = index != 0 ? plan.overlap : 0;
    const int64_t after = index != count - 1 ? plan.overlap : 0;
    TileAxis axis;
    axis.size = std::min(plan.tileSize, zoomLength - plan.tileSize * index) + before + after;
    const double slidePosition =
        level.zoomToSlide * static_cast<double>(plan.tileSize * index - before);
    const double downsample = plan.slideDownsamples[static_cast<size_t>(level.slideLevel)];
    // Truncated, as the generator's int() does; every value here is positive.
    axis.level0 = static_cast<int64_t>(downsample * slidePosition + static_cast<double>(offset));
    axis.read = std::min(Ceil(level.zoomToSlide * static_cast<double>(axis.size)),
                         slideLength - Ceil(slidePosition));
    return axis;
}

}  // namespace

DeepZoomPlan PlanDeepZoom(const std::vector<Level>& levels, const std::optional<Bounds>& bounds,
                          int32_t tileSize, int32_t overlap, bool limitBounds) {
    DeepZoomPlan plan;
    plan.tileSize = tileSize;
    plan.overlap = overlap;
    const auto width0 = static_cast<double>(levels[0].width);
    const auto height0 = static_cast<double>(levels[0].height);
    // With limitBounds, each slide level shows the bounds' share of its size, rounded up.
    double scaleX = 1, scaleY = 1;
    if (limitBounds && bounds) {
        plan.offsetX = bounds->x;
        plan.offsetY = bounds->y;
        scaleX = static_cast<double>(bounds->width) / width0;
        scaleY = static_cast<double>(bounds->height) / height0;
    }
    for (const Level& level : levels) {
        plan.slideWidths.push_back(limitBounds ? Ceil(static_cast<double>(level.width) * scaleX)
                                               : level.width);
        plan.slideHeights.push_back(limitBounds ? Ceil(static_cast<double>(level.height) * scaleY)
                                                : level.height);
        plan.slideDownsamples.push_back(level.downsample);
    }

    // Halving (rounded up) from the area shown down to a single pixel.
    std::vector<std::pair<int64_t, int64_t>> sizes{{plan.slideWidths[0], plan.slideHeights[0]}};
    while (sizes.back().first > 1 || sizes.back().second > 1) {
        const auto [w, h] = sizes.back();
        sizes.emplace_back(std::max<int64_t>(1, Ceil(static_cast<double>(w) / 2)),
                           std::max<int64_t>(1, Ceil(static_cast<double>(h) / 2)));
    }
    std::reverse(sizes.begin(), sizes.end());

    const auto count = static_cast<int>(sizes.size());
    for (int k = 0; k < count; ++k) {
        DeepZoomLevel level;
        level.width = sizes[static_cast<size_t>(k)].first;
        level.height = sizes[static_cast<size_t>(k)].second;
        level.columns = Ceil(static_cast<double>(level.width) / tileSize);
        level.rows = Ceil(static_cast<double>(level.height) / tileSize);
        const double level0PerZoom = std::ldexp(1.0, count - k - 1);
        level.slideLevel = BestLevelFor(levels, level0PerZoom);
        level.zoomToSlide =
            level0PerZoom / plan.slideDownsamples[static_cast<size_t>(level.slideLevel)];
        plan.tileCount += level.columns * level.rows;
        plan.levels.push_back(level);
    }
    return plan;
}

bool DeepZoomTileOf(const DeepZoomPlan& plan, int32_t level, int64_t column, int64_t row,
                    DeepZoomTile* tile) {
    if (level < 0 || static_cast<size_t>(level) >= plan.levels.size()) return false;
    const DeepZoomLevel& zoom = plan.levels[static_cast<size_t>(level)];
    if (column < 0 || column >= zoom.columns || row < 0 || row >= zoom.rows) return false;
    const auto slideLevel = static_cast<size_t>(zoom.slideLevel);
    const TileAxis x = AxisOf(plan, zoom, column, zoom.columns, zoom.width,
                              plan.slideWidths[slideLevel], plan.offsetX);
    const TileAxis y = AxisOf(plan, zoom, row, zoom.rows, zoom.height,
                              plan.slideHeights[slideLevel], plan.offsetY);
    const double downsample = plan.slideDownsamples[slideLevel];
    *tile = {x.level0,
             y.level0,
             zoom.slideLevel,
             x.read,
             y.read,
             x.size,
             y.size,
             ToLevel(x.level0, downsample),
             ToLevel(y.level0, downsample)};
    return true;
}

}  // namespace tarn
