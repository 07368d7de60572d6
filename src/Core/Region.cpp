// Regions: every tile the rectangle touches is decoded (only as much of it as the rectangle
// needs) straight into the output.
#include "Core/Region.h"

#include <algorithm>

namespace tarn {

int CheckRegion(const TileLayout& layout, int width, int height, uint32_t x, uint32_t y,
                int layer) {
    if (static_cast<uint32_t>(layer) >= layout.layerCount) return ZY_E_LAYER;
    const LayerGeometry& grid = layout.layers[layer].grid;
    // Only the origin and the size are compared with the grid, not their sum: a region may reach
    // past the right and bottom edges.
    if (width <= 0 || height <= 0 || x >= grid.gridWidth() || y >= grid.gridHeight() ||
        static_cast<uint64_t>(width) > grid.gridWidth() ||
        static_cast<uint64_t>(height) > grid.gridHeight())
        return ZY_E_REGION;
    return ZY_OK;
}

int DrawRegion(const ReadContext& read, uint32_t width, uint32_t height, uint32_t x, uint32_t y,
               uint32_t layer, uint8_t* dst, size_t dstStride, PixelFormat format) {
    const LayerGeometry& grid = read.layer(layer).grid;
    const uint64_t pixelBytes = static_cast<uint64_t>(BytesPerPixel(format));
    const uint64_t right = uint64_t{x} + width, bottom = uint64_t{y} + height;
    const uint64_t gridRight = grid.gridWidth(), gridBottom = grid.gridHeight();

    // Beyond the grid there is no image: white.
    const uint64_t insideWidth = std::min(right, gridRight) - x;
    const uint64_t insideHeight = std::min(bottom, gridBottom) - y;
    if (insideWidth < width)
        FillWhite(dst + insideWidth * pixelBytes, dstStride,
                  static_cast<uint32_t>(width - insideWidth), height, format);
    if (insideHeight < height)
        FillWhite(dst + insideHeight * dstStride, dstStride, static_cast<uint32_t>(insideWidth),
                  static_cast<uint32_t>(height - insideHeight), format);

    const uint64_t firstRow = y / grid.tileHeight,
                   lastRow = (std::min(bottom, gridBottom) - 1) / grid.tileHeight;
    const uint64_t firstCol = x / grid.tileWidth,
                   lastCol = (std::min(right, gridRight) - 1) / grid.tileWidth;
    HintTiles(read, layer, static_cast<uint32_t>(firstCol), static_cast<uint32_t>(lastCol),
              static_cast<uint32_t>(firstRow), static_cast<uint32_t>(lastRow));
    for (uint64_t row = firstRow; row <= lastRow; ++row) {
        const uint64_t top = std::max<uint64_t>(y, row * grid.tileHeight);
        const uint64_t end = std::min(bottom, (row + 1) * grid.tileHeight);
        for (uint64_t col = firstCol; col <= lastCol; ++col) {
            const uint64_t left = std::max<uint64_t>(x, col * grid.tileWidth);
            const uint64_t stop = std::min(right, (col + 1) * grid.tileWidth);
            const PixelRect part{static_cast<uint32_t>(left - col * grid.tileWidth),
                                 static_cast<uint32_t>(top - row * grid.tileHeight),
                                 static_cast<uint32_t>(stop - left),
                                 static_cast<uint32_t>(end - top)};
            uint8_t* at = dst + (top - y) * dstStride + (left - x) * pixelBytes;
            const int code = DrawTile(read, layer, static_cast<uint32_t>(col),
                                      static_cast<uint32_t>(row), part, at, dstStride, format);
            if (code != ZY_OK) return code;
        }
    }
    return ZY_OK;
}

}  // namespace tarn
