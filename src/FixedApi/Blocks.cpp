// A layer's image area cut into a grid of JPEG blocks.
#include <cstdlib>

#include "DecodeJpeg/JpegCodec.h"
#include "DecodeTarn/TileAccess.h"
#include "DecodeTarn/ZyCommon.h"

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
    return BlockSpan(total, blocks, blocks - 1).length <= static_cast<int32_t>(tarn::kMaxJpegSide);
}

}  // namespace

int ZyGetBlockJpegFromTarn(ZyTarnInfo* info, ZyImageInfo* blocks, int quality, int blocksAcross,
                           int blocksDown, int layer, int colorSpace) {
    // Region pixels are 3 bytes each; an encoder told otherwise would read past them.
    if (tarn::ColorSpaceChannels(colorSpace) != 3) return ZY_E_CODEC;
    if (!tarn::HandleComplete(info) || blocks == nullptr) return ZY_E_NULL;
    if (!tarn::LayerInRange(info, layer)) return ZY_E_LAYER;
    const ZyPicInfo& record = *info->PicInfos[layer];
    // The picture fits an int: the open refuses grids that do not. A bound larger than the grid
    // leaves no picture, and the first block is then refused by the region check.
    const tarn::LayerGeometry grid = tarn::LayerOf(info, static_cast<uint32_t>(layer));
    const auto imageWidth = static_cast<int32_t>(grid.pictureWidth());
    const auto imageHeight = static_cast<int32_t>(grid.pictureHeight());
    if (blocksAcross <= 0 || static_cast<uint32_t>(blocksAcross) > record.XCount ||
        blocksDown <= 0 || static_cast<uint32_t>(blocksDown) > record.YCount)
        return ZY_E_BLOCKS;
    // Blocks no JPEG can hold need a finer grid: refused before any tile is decoded.
    if (!BlocksFitJpeg(imageWidth, blocksAcross) || !BlocksFitJpeg(imageHeight, blocksDown))
        return ZY_E_BLOCKS;

    for (int32_t i = 0; i < blocksDown; ++i) {
        const Span rows = BlockSpan(imageHeight, blocksDown, i);
        for (int32_t j = 0; j < blocksAcross; ++j) {
            const Span cols = BlockSpan(imageWidth, blocksAcross, j);
            unsigned char* pixels = nullptr;
            const int code = ZyGetRoiRgbOfSpecifyLayer(info, &pixels, cols.length, rows.length,
                                                       static_cast<uint32_t>(cols.start),
                                                       static_cast<uint32_t>(rows.start), layer);
            if (code != ZY_OK) return code;
            if (pixels == nullptr) return ZY_E_NULL;
            ZyImageInfo& block = blocks[i * blocksAcross + j];
            block.DataSize = ZyEncodeJpeg(
                pixels, &block.Data, quality, static_cast<unsigned>(cols.length),
                static_cast<unsigned>(rows.length), static_cast<J_COLOR_SPACE>(colorSpace));
            block.Width = static_cast<uint32_t>(cols.length);
            block.Height = static_cast<uint32_t>(rows.length);
            block.Channels = 3;
            free(pixels);
        }
    }
    return ZY_OK;
}
