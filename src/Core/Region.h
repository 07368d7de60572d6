// A rectangle of a layer assembled from its tiles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/PixelFormat.h"
#include "Core/Tiles.h"

namespace tarn {

// Checks a region request against the layer's grid: ZY_OK, ZY_E_LAYER or ZY_E_REGION. The region
// may reach past the grid's right and bottom edges; only its origin and size are compared.
int CheckRegion(const TileLayout& layout, int width, int height, uint32_t x, uint32_t y, int layer);

// Draws the width x height rectangle at (x, y) of `layer` (origin inside the grid) into `dst`
// (rows `dstStride` bytes apart) in `format`. Pixels beyond the layer grid are white. ZY_OK, or
// the code of the first tile that failed (DrawTile's), recorded in the context.
int DrawRegion(const ReadContext& read, uint32_t width, uint32_t height, uint32_t x, uint32_t y,
               uint32_t layer, uint8_t* dst, size_t dstStride,
               PixelFormat format = PixelFormat::Bgr);

}  // namespace tarn
