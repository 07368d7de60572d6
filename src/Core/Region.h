// A rectangle of a layer assembled from its tiles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorTables.h"
#include "Common/PixelFormat.h"
#include "DecodeTarn.h"

namespace tarn {

struct TileCache;

// Checks a region request: ZY_OK, ZY_E_NULL, ZY_E_LAYER or ZY_E_REGION.
int CheckRegion(const ZyTarnInfo* info, int width, int height, uint32_t x, uint32_t y, int layer);

// Draws the checked region into `dst` (rows `dstStride` bytes apart) in `format`. Pixels beyond
// the layer grid are white. ZY_OK, or the code of the first tile that failed (DrawTile's codes:
// ZY_E_SHORT_READ, ZY_E_DECODE, kFileChanged, kNoMemory of Common/Status.h). Tiles are read
// through `cache` (null: the process's default cache).
int DrawRegion(const ZyTarnInfo* info, const ColorLookup& colors, uint32_t width, uint32_t height,
               uint32_t x, uint32_t y, uint32_t layer, uint8_t* dst, size_t dstStride,
               PixelFormat format = PixelFormat::Bgr, TileCache* cache = nullptr);

}  // namespace tarn
