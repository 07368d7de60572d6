// Regions: every tile the rectangle touches is decoded (only as much of it as the rectangle
// needs) straight into the output.
#include "DecodeTarn/Region.h"

#include <algorithm>
#include <cstdlib>

#include "Common/Buffers.h"
#include "Common/Status.h"
#include "DecodeTarn/SlideColors.h"
#include "DecodeTarn/TileAccess.h"

namespace tarn {

int CheckRegion(const ZyTarnInfo* info, int width, int height, uint32_t x, uint32_t y, int layer) {
    if (!HandleComplete(info)) return ZY_E_NULL;
    if (!LayerInRange(info, layer)) return ZY_E_LAYER;
    const LayerGeometry grid = LayerOf(info, static_cast<uint32_t>(layer));
    // Only the origin and the size are compared with the grid, not their sum: a region may reach
    // past the right and bottom edges.
    if (width <= 0 || height <= 0 || x >= grid.gridWidth() || y >= grid.gridHeight() ||
        static_cast<uint64_t>(width) > grid.gridWidth() ||
        static_cast<uint64_t>(height) > grid.gridHeight())
        return ZY_E_REGION;
    return ZY_OK;
}

int DrawRegion(const ZyTarnInfo* info, const ColorLookup& colors, uint32_t width, uint32_t height,
               uint32_t x, uint32_t y, uint32_t layer, uint8_t* dst, size_t dstStride,
               PixelFormat format, TileCache* cache) {
    const LayerGeometry grid = LayerOf(info, layer);
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
            const int code =
                DrawTile(info, colors, layer, static_cast<uint32_t>(col),
                         static_cast<uint32_t>(row), part, at, dstStride, format, cache);
            if (code != ZY_OK) return code;
        }
    }
    return ZY_OK;
}

}  // namespace tarn

using namespace tarn;

int ZyGetRoiRgbOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int width, int height,
                              unsigned int x, unsigned int y, int layer) {
    if (const int code = CheckRegion(info, width, height, x, y, layer); code != ZY_OK) return code;
    if (data == nullptr) return ZY_E_NULL;
    const size_t stride = static_cast<size_t>(width) * 3;
    auto* pixels =
        static_cast<unsigned char*>(AllocatePixels(stride * static_cast<size_t>(height)));
    // Every failure of the region, running out of memory included, is a failed decode.
    if (pixels == nullptr) return ZY_E_DECODE;

    const SlideColors colors(info);
    if (DrawRegion(info, colors.lookup(), static_cast<uint32_t>(width),
                   static_cast<uint32_t>(height), x, y, static_cast<uint32_t>(layer), pixels,
                   stride) != ZY_OK) {
        free(pixels);
        *data = nullptr;
        return ZY_E_DECODE;
    }
    *data = pixels;
    return ZY_OK;
}
