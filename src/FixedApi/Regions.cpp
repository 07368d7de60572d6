// Regions, JPEG blocks and whole layers of a handle.
#include <cstdlib>

#include "Common/Status.h"
#include "Common/Buffers.h"
#include "Core/WholeLayer.h"
#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/Handles.h"
#include "FixedApi/StatusCodes.h"
#include "FixedApi/ZyCommon.h"
#include "Service/Reads.h"
#include "Common/ThreadCap.h"

namespace tarn {
namespace {

// One block's span along an axis: the last block takes the remainder.
struct Span {
    int32_t start;
    int32_t length;
};

Span BlockSpan(int32_t total, int32_t blocks, int32_t index) {
    const int32_t base = total / blocks;
    return {index * base, index == blocks - 1 ? base + total % blocks : base};
}

// The last block of an axis is the largest; a JPEG holds at most kMaxJpegSide along each.
bool BlocksFitJpeg(int32_t total, int32_t blocks) {
    return BlockSpan(total, blocks, blocks - 1).length <= static_cast<int32_t>(kMaxJpegSide);
}

}  // namespace

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

int RegionPixels(const FixedRead& read, unsigned char** data, int width, int height, unsigned int x,
                 unsigned int y, int layer) {
    if (read.status() != ZY_OK) return ZY_E_NULL;
    if (const int code = CheckRegion(read.layout(), width, height, x, y, layer); code != ZY_OK)
        return code;
    if (data == nullptr) return ZY_E_NULL;
    const size_t stride = static_cast<size_t>(width) * 3;
    auto* pixels =
        static_cast<unsigned char*>(AllocatePixels(stride * static_cast<size_t>(height)));
    // Every failure of the region, running out of memory included, is a failed decode.
    if (pixels == nullptr) return ZY_E_DECODE;
    if (ReadArea(read.context(), static_cast<uint32_t>(layer), x, y, width, height, Extent::Grid,
                 pixels, stride) != Status::Ok) {
        free(pixels);
        *data = nullptr;
        return ZY_E_DECODE;
    }
    *data = pixels;
    return ZY_OK;
}

}  // namespace tarn

using namespace tarn;

int ZyGetRoiRgbOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int width, int height,
                              unsigned int x, unsigned int y, int layer) {
    const FixedRead read(info);
    return RegionPixels(read, data, width, height, x, y, layer);
}

int ZyGetBlockJpegFromTarn(ZyTarnInfo* info, ZyImageInfo* blocks, int quality, int blocksAcross,
                           int blocksDown, int layer, int colorSpace) {
    // Region pixels are 3 bytes each; an encoder told otherwise would read past them.
    if (ColorSpaceChannels(colorSpace) != 3) return ZY_E_CODEC;
    const FixedRead read(info);
    if (read.status() != ZY_OK || blocks == nullptr) return ZY_E_NULL;
    if (static_cast<uint32_t>(layer) >= read.layout().layerCount) return ZY_E_LAYER;
    // The picture fits an int: the open refuses grids that do not. A bound larger than the grid
    // leaves no picture, and the first block is then refused by the region check.
    const LayerGeometry& grid = read.layout().layers[layer].grid;
    const auto imageWidth = static_cast<int32_t>(grid.pictureWidth());
    const auto imageHeight = static_cast<int32_t>(grid.pictureHeight());
    if (blocksAcross <= 0 || static_cast<uint64_t>(blocksAcross) > grid.columns ||
        blocksDown <= 0 || static_cast<uint64_t>(blocksDown) > grid.rows)
        return ZY_E_BLOCKS;
    // Blocks no JPEG can hold need a finer grid: refused before any tile is decoded.
    if (!BlocksFitJpeg(imageWidth, blocksAcross) || !BlocksFitJpeg(imageHeight, blocksDown))
        return ZY_E_BLOCKS;

    for (int32_t i = 0; i < blocksDown; ++i) {
        const Span rows = BlockSpan(imageHeight, blocksDown, i);
        for (int32_t j = 0; j < blocksAcross; ++j) {
            const Span cols = BlockSpan(imageWidth, blocksAcross, j);
            unsigned char* pixels = nullptr;
            const int code = RegionPixels(read, &pixels, cols.length, rows.length,
                                          static_cast<uint32_t>(cols.start),
                                          static_cast<uint32_t>(rows.start), layer);
            if (code != ZY_OK) return code;
            if (pixels == nullptr) return ZY_E_NULL;
            ZyImageInfo& block = blocks[i * blocksAcross + j];
            block.DataSize = EncodeJpeg(pixels, static_cast<uint32_t>(cols.length),
                                        static_cast<uint32_t>(rows.length), quality,
                                        static_cast<J_COLOR_SPACE>(colorSpace), 3, &block.Data);
            block.Width = static_cast<uint32_t>(cols.length);
            block.Height = static_cast<uint32_t>(rows.length);
            block.Channels = 3;
            free(pixels);
        }
    }
    return ZY_OK;
}

namespace tarn {

int DecodeWholeLayer(ZyTarnInfo* info, unsigned char** data, int* width, int* height, int layer,
                     int threads) {
    const FixedRead read(info);
    if (read.status() != ZY_OK) return ZY_E_NULL;
    if (static_cast<uint32_t>(layer) >= read.layout().layerCount) return ZY_E_LAYER;
    if (data == nullptr || width == nullptr || height == nullptr) return ZY_E_NULL;
    return FixedCode(DecodeWholeLayer(read.context(), static_cast<uint32_t>(layer), threads, data,
                                      width, height),
                     FixedCall::Region);
}

}  // namespace tarn

int ZySpecifyLayerJpeg2Rgb(ZyTarnInfo* info, unsigned char** data, int* width, int* height,
                           int layer) {
    return tarn::DecodeWholeLayer(info, data, width, height, layer, tarn::ThreadBudget());
}
