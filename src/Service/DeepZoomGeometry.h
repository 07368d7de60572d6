// The Deep Zoom pyramid of a slide as OpenSlide's DeepZoomGenerator lays it out: the same level
// count, level and tile sizes, and for every tile the same area read from the same slide level,
// so that viewers and tile stores built for OpenSlide find the tiles they expect. The arithmetic
// is the generator's, step for step in double precision, rounding where it rounds.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Service/Levels.h"

namespace tarn {

struct DeepZoomLevel {
    int64_t width = 0, height = 0;  // pixels of the Deep Zoom level
    int64_t columns = 0, rows = 0;  // its tiles
    int32_t slideLevel = 0;         // the slide level its tiles are read from
    double zoomToSlide = 1;         // slide-level pixels per Deep Zoom pixel
};

// Where one tile comes from: the area (x, y) in level 0, (left, top) in the level read, of
// width x height pixels of that level, scaled to tileWidth x tileHeight.
struct DeepZoomTile {
    int64_t x = 0, y = 0;
    int32_t level = 0;
    int64_t width = 0, height = 0;
    int64_t tileWidth = 0, tileHeight = 0;
    int64_t left = 0, top = 0;
};

struct DeepZoomPlan {
    int64_t tileSize = 0;
    int64_t overlap = 0;
    int64_t offsetX = 0, offsetY = 0;  // level-0 corner of the area shown
    std::vector<int64_t> slideWidths;  // per slide level: the area shown, in its pixels
    std::vector<int64_t> slideHeights;
    std::vector<double> slideDownsamples;
    std::vector<DeepZoomLevel> levels;  // smallest first
    int64_t tileCount = 0;
};

// The pyramid of a slide of `levels` with tiles of tileSize (at least 1) and `overlap` (at least
// 0); with `limitBounds`, only `bounds` (when the slide has them) is shown.
DeepZoomPlan PlanDeepZoom(const std::vector<Level>& levels, const std::optional<Bounds>& bounds,
                          int32_t tileSize, int32_t overlap, bool limitBounds);

// Where tile (column, row) of Deep Zoom level `level` comes from; false for a tile that does not
// exist.
bool DeepZoomTileOf(const DeepZoomPlan& plan, int32_t level, int64_t column, int64_t row,
                    DeepZoomTile* tile);

}  // namespace tarn
