// Pixels a slide should show, worked out without the library's tile path: every stored tile
// decoded by libjpeg or libavcodec used directly, converted plainly, and corrected through the
// exported planes of the slide's colour table.
#pragma once

#include <cstdint>
#include <vector>

#include "DecodeTarn.h"

namespace tarntest {

using Pixels = std::vector<uint8_t>;

// The whole grid of `layer` (TileWidth * XCount by TileHeight * YCount pixels, blue-green-red).
// Empty tiles are white, not corrected. Tiles that do not decode are left black.
Pixels ReferenceLayer(const ZyTarnInfo* slide, int layer);

// A width x height rectangle at (x, y) of a grid image `gridWidth` pixels wide; pixels beyond the
// grid are white.
Pixels Crop(const Pixels& grid, uint32_t gridWidth, uint32_t gridHeight, uint32_t x, uint32_t y,
            uint32_t width, uint32_t height);

// Decodes a JPEG with libjpeg alone (no correction): blue-green-red pixels and their size.
Pixels PlainJpegDecode(const uint8_t* jpeg, size_t size, int* width, int* height);

}  // namespace tarntest
