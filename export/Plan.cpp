#include "Plan.h"

#include <algorithm>
#include <climits>

namespace tarnexport {

int64_t Plan::TileCount() const {
    return first_.empty() ? 0 : first_.back();
}

bool Plan::Number(std::string* error) {
    first_.assign(1, 0);
    for (const PlanLevel& level : levels) {
        if (level.columns < 0 || level.rows < 0 ||
            (level.rows > 0 && level.columns > (INT64_MAX - first_.back()) / level.rows)) {
            *error = "the plan holds too many tiles to count";
            return false;
        }
        first_.push_back(first_.back() + level.columns * level.rows);
    }
    return true;
}

TileAddress Plan::Address(int64_t index) const {
    // The last level whose first tile is at or before `index`: empty levels are passed over.
    const auto after = std::upper_bound(first_.begin(), first_.end() - 1, index);
    const auto level = static_cast<size_t>(after - first_.begin() - 1);
    const int64_t within = index - first_[level];
    const PlanLevel& grid = levels[level];
    return TileAddress{level, grid.firstColumn + within % grid.columns,
                       grid.firstRow + within / grid.columns, index};
}

PlanLevel GridLevel(PixelSource source, int32_t level, int64_t width, int64_t height,
                    int64_t tileWidth, int64_t tileHeight, TileEncoding encoding, int quality) {
    PlanLevel grid;
    grid.source = source;
    grid.level = level;
    grid.width = width;
    grid.height = height;
    grid.tileWidth = tileWidth;
    grid.tileHeight = tileHeight;
    grid.columns = (width + tileWidth - 1) / tileWidth;
    grid.rows = (height + tileHeight - 1) / tileHeight;
    grid.encoding = encoding;
    grid.quality = quality;
    return grid;
}

bool AddPyramid(tarn_slide* slide, int64_t tileSize, TileEncoding encoding, int quality, Plan* plan,
                std::string* error) {
    const auto fits = [tileSize](int64_t w, int64_t h) { return w <= tileSize && h <= tileSize; };
    const int32_t stored = tarn_get_level_count(slide);
    int64_t width = 0, height = 0;
    for (int32_t level = 0; level < stored; ++level) {
        tarn_get_level_dimensions(slide, level, &width, &height);
        if (width <= 0 || height <= 0) {
            *error = "level " + std::to_string(level) + " has no picture";
            return false;
        }
        plan->levels.push_back(GridLevel(PixelSource::StoredLevel, level, width, height, tileSize,
                                         tileSize, encoding, quality));
    }
    // Every stored level stays, even below the first that fits in one tile.
    if (fits(width, height)) return true;
    PixelSource source = PixelSource::StoredLevel;
    int32_t base = stored - 1;
    const int32_t coarse = tarn_get_coarse_level_count(slide);
    for (int32_t level = 1; level <= coarse; ++level) {
        tarn_get_coarse_level_dimensions(slide, level, &width, &height);
        plan->levels.push_back(GridLevel(PixelSource::CoarseLevel, level, width, height, tileSize,
                                         tileSize, encoding, quality));
        source = PixelSource::CoarseLevel;
        base = level;
        if (fits(width, height)) return true;
    }
    // Below the library's coarse levels (tiles smaller than theirs), halved from the last one.
    const int64_t baseWidth = width, baseHeight = height;
    for (int scale = 2; scale <= kMaxScale; scale *= 2) {
        width = (baseWidth + scale - 1) / scale;
        height = (baseHeight + scale - 1) / scale;
        PlanLevel level =
            GridLevel(source, base, width, height, tileSize, tileSize, encoding, quality);
        level.scale = scale;
        plan->levels.push_back(level);
        if (fits(width, height)) return true;
    }
    *error = "tiles of " + std::to_string(tileSize) + " pixels are too small for this slide";
    return false;
}

void AddDeepZoomLevels(TileEncoding encoding, int quality, Plan* plan) {
    tarn_deepzoom* view = plan->deepZoom.get();
    const int32_t count = tarn_deepzoom_get_level_count(view);
    for (int32_t level = 0; level < count; ++level) {
        PlanLevel grid;
        grid.source = PixelSource::DeepZoom;
        grid.level = level;
        tarn_deepzoom_get_level_dimensions(view, level, &grid.width, &grid.height);
        tarn_deepzoom_get_level_tiles(view, level, &grid.columns, &grid.rows);
        grid.encoding = encoding;
        grid.quality = quality;
        plan->levels.push_back(grid);
    }
}

void AddAssociatedImages(tarn_slide* slide, bool stored, Plan* plan) {
    const char* const* names = tarn_get_associated_image_names(slide);
    for (size_t i = 0; names != nullptr && names[i] != nullptr; ++i)
        plan->associated.push_back(AssociatedRequest{names[i], stored});
}

}  // namespace tarnexport
