// The tiles a format wants of a slide: levels of tiles, each with the source of its pixels and
// the encoding the writer takes, numbered level after level and row after row within a level
// (the plan order). Formats build plans with the helpers below or level by level.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarn.h"

namespace tarnexport {

// Where a plan level's pixels come from.
enum class PixelSource {
    StoredLevel,  // a level the slide stores, in its own pixels (tarn_read_level_region)
    CoarseLevel,  // a level below the slide's coarsest, 1 the first (tarn_read_coarse_region)
    DeepZoom,     // a level of the plan's Deep Zoom view (tarn_deepzoom_read_tile[_jpeg])
    ExportTile    // a stored level cut as `tarn export` cuts it, JPEG of quality 75 only
                  // (tarn_read_export_tile_jpeg: the grid's bound area shows what it stores)
};

enum class TileEncoding {
    Jpeg,     // a baseline JPEG of the level's quality
    Jpeg422,  // the same with chroma halved across only (4:2:2, DICOM's YBR_FULL_422)
    Rgb       // the pixels, 3 bytes each
};

struct PlanLevel {
    PixelSource source = PixelSource::StoredLevel;
    int32_t level = 0;  // the slide's level, the coarse level (from 1), or the Deep Zoom level
    // StoredLevel and CoarseLevel: each pixel is the mean of the scale x scale pixels of the
    // source it covers (those inside its picture); 1, 2, 4 ... up to kMaxScale.
    int scale = 1;
    int64_t width = 0;  // the picture the tiles cover, in this level's pixels
    int64_t height = 0;
    // Every tile is this size, white (or its source's own margin) past the picture; Deep Zoom
    // tiles are as the view makes them (the edges smaller, overlaps added).
    int64_t tileWidth = 0;
    int64_t tileHeight = 0;
    // The tiles made: columns x rows of the level's grid from (firstColumn, firstRow).
    int64_t firstColumn = 0;
    int64_t firstRow = 0;
    int64_t columns = 0;
    int64_t rows = 0;
    TileEncoding encoding = TileEncoding::Jpeg;
    int quality = 75;
};

inline constexpr int kMaxScale = 64;

// Tile `index` of the plan: its level (an index into Plan::levels) and grid position.
struct TileAddress {
    size_t level = 0;
    int64_t column = 0;
    int64_t row = 0;
    int64_t index = 0;
};

struct AssociatedRequest {
    std::string name;     // "label", "macro" or "thumbnail"
    bool stored = false;  // the stored bytes too, not only the pixels
};

struct DeepZoomDestroy {
    void operator()(tarn_deepzoom* view) const { tarn_deepzoom_destroy(view); }
};

struct Plan {
    std::vector<PlanLevel> levels;
    // Read before the tiles and handed to the writer in this order.
    std::vector<AssociatedRequest> associated;
    // One line on what is written where, for progress reports.
    std::string summary;
    // Conversion formats (PlanConversion): the slide's output, a file or a folder, is written
    // under a temporary name beside it and renamed into place only once the writer has finished
    // it; an existing output is refused unless `overwrite`.
    bool stagedOutput = false;
    bool overwrite = false;
    // A stored or coarse level's tile that cannot be read is made white and counted instead of
    // failing the run (the run still fails when not one tile could be read).
    bool whiteForUnreadable = false;
    // The view DeepZoom levels read; destroyed with the plan, before the slide closes.
    std::unique_ptr<tarn_deepzoom, DeepZoomDestroy> deepZoom;

    int64_t TileCount() const;
    // Requires Number() after the last change to `levels`.
    TileAddress Address(int64_t index) const;
    // Numbers the tiles; false with a message when there are too many to count.
    bool Number(std::string* error);

  private:
    std::vector<int64_t> first_;  // each level's first tile number, and the count at the end
};

// A level of whole tiles of tileWidth x tileHeight over a picture of width x height.
PlanLevel GridLevel(PixelSource source, int32_t level, int64_t width, int64_t height,
                    int64_t tileWidth, int64_t tileHeight, TileEncoding encoding, int quality);

// Every stored level, then the coarse levels below the coarsest, then levels each half the one
// above (scaled from the last coarse level) until one fits in a single tile, all in tiles of
// tileSize x tileSize: a pyramid down to one tile, as tiled formats keep it.
bool AddPyramid(tarn_slide* slide, int64_t tileSize, TileEncoding encoding, int quality, Plan* plan,
                std::string* error);

// Every level of the plan's Deep Zoom view (made beforehand), level 0 (one pixel) first.
void AddDeepZoomLevels(TileEncoding encoding, int quality, Plan* plan);

// Every associated image the slide has and can decode.
void AddAssociatedImages(tarn_slide* slide, bool stored, Plan* plan);

}  // namespace tarnexport
