// A whole layer decoded into one buffer, tile rows spread over all processors.
#include <cstdlib>

#include "Common/Threads.h"
#include "DecodeTarn/SlideColors.h"
#include "DecodeTarn/TileAccess.h"
#include "DecodeTarn/WholeLayer.h"

namespace tarn {

int DecodeWholeLayer(ZyTarnInfo* info, unsigned char** data, int* width, int* height, int layer,
                     int threads) {
    if (!HandleComplete(info)) return ZY_E_NULL;
    if (!LayerInRange(info, layer)) return ZY_E_LAYER;
    if (data == nullptr || width == nullptr || height == nullptr) return ZY_E_NULL;
    const ZyPicHead& head = *info->PicHead;
    const ZyPicInfo& record = *info->PicInfos[layer];
    const size_t tileStride = size_t{head.TileWidth} * 3;
    const size_t stride = tileStride * record.XCount;
    const size_t tileRowBytes = stride * head.TileHeight;
    // A grid without tiles has no pixels, and its rows need no visit.
    const bool empty = record.XCount == 0 || record.YCount == 0;
    auto* pixels =
        empty ? nullptr : static_cast<unsigned char*>(AllocatePixels(tileRowBytes * record.YCount));
    if (pixels == nullptr && !empty) return ZY_E_DECODE;
    const int64_t rows = empty ? 0 : int64_t{record.YCount};

    const SlideColors colors(info);
    const PixelRect whole{0, 0, head.TileWidth, head.TileHeight};
    // Threads take tile rows one at a time as they come free: tissue decodes slower than bare
    // glass, so fixed bands would leave a core idle. Each row's output rows belong to the thread
    // that took it, and where a row lands never depends on who took it.
    ParallelFor(rows, threads, [&](int64_t row) {
        for (uint32_t col = 0; col < record.XCount; ++col) {
            uint8_t* at = pixels + static_cast<size_t>(row) * tileRowBytes + col * tileStride;
            // A tile that cannot be read or decoded shows as white, like an empty one.
            if (DrawTile(info, colors.lookup(), static_cast<uint32_t>(layer), col,
                         static_cast<uint32_t>(row), whole, at, stride) != ZY_OK)
                FillWhite(at, stride, head.TileWidth, head.TileHeight);
        }
    });

    *width = static_cast<int>(head.TileWidth * record.XCount);
    *height = static_cast<int>(head.TileHeight * record.YCount);
    *data = pixels;
    return ZY_OK;
}

}  // namespace tarn

int ZySpecifyLayerJpeg2Rgb(ZyTarnInfo* info, unsigned char** data, int* width, int* height,
                           int layer) {
    return tarn::DecodeWholeLayer(info, data, width, height, layer, tarn::ThreadBudget());
}
