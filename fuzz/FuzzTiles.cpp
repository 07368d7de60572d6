// Tiles, regions, blocks and whole layers of JPEG and HEVC slides.
#include <algorithm>
#include <cstdint>

#include "DecodeTarn.h"
#include "DecodeTarnCxx.h"
#include "FuzzSupport.h"

namespace {

// The harness, not the library, keeps each run small: huge tiles or layers are valid requests
// that would only make the fuzzer slow.
constexpr uint64_t kMaxTilePixels = 1 << 20;
constexpr uint64_t kMaxLayerPixels = 1 << 22;

void ReadTiles(ZyTarnInfo* slide, int layer) {
    const ZyPicHead& head = *slide->PicHead;
    const ZyPicInfo& record = *slide->PicInfos[layer];
    const size_t tileBytes = size_t{head.TileWidth} * head.TileHeight * 3;
    const int columns = static_cast<int>(std::min(uint32_t{record.XCount}, 3U));
    const int rows = static_cast<int>(std::min(uint32_t{record.YCount}, 3U));
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            int width = 0, height = 0, size = 0;
            unsigned char* jpeg = GetSliceJpeg(slide, layer, x, y, &width, &height, &size);
            tarnfuzz::Touch(jpeg, jpeg != nullptr ? static_cast<size_t>(size) : 0);
            Dispose(jpeg);
            unsigned char* pixels = GetSliceBgr(slide, layer, x, y, &width, &height);
            tarnfuzz::Touch(pixels, pixels != nullptr ? tileBytes : 0);
            Dispose(pixels);
            unsigned char* stored = nullptr;
            if (ZyGetHevcSliceOfSpecifyLayer(slide, &stored, &size, layer, x, y) == 0)
                tarnfuzz::Touch(stored, static_cast<size_t>(size));
            Dispose(stored);
        }
}

void ReadRegions(ZyTarnInfo* slide, int layer) {
    const ZyPicHead& head = *slide->PicHead;
    const ZyPicInfo& record = *slide->PicInfos[layer];
    const uint64_t gridWidth = uint64_t{head.TileWidth} * record.XCount;
    const uint64_t gridHeight = uint64_t{head.TileHeight} * record.YCount;
    // Straddling four tiles, and reaching past the grid's corner.
    const int width = static_cast<int>(std::min<uint64_t>(gridWidth, 600));
    const int height = static_cast<int>(std::min<uint64_t>(gridHeight, 400));
    for (uint64_t x : {uint64_t{head.TileWidth / 2}, gridWidth - 1})
        for (uint64_t y : {uint64_t{head.TileHeight / 3}, gridHeight - 1}) {
            unsigned char* pixels = GetRoiSliceBgr(slide, layer, static_cast<int>(x),
                                                   static_cast<int>(y), width, height);
            tarnfuzz::Touch(pixels, pixels != nullptr ? size_t(width) * size_t(height) * 3 : 0);
            Dispose(pixels);
        }
    if (gridWidth * gridHeight <= kMaxLayerPixels) {
        unsigned char* pixels = nullptr;
        int w = 0, h = 0;
        if (ZySpecifyLayerJpeg2Rgb(slide, &pixels, &w, &h, layer) == 0)
            tarnfuzz::Touch(pixels, size_t(w) * size_t(h) * 3);
        Dispose(pixels);

        ZyImageInfo blocks[4] = {};
        ZyGetBlockJpegFromTarn(slide, blocks, 60, 2, 2, layer, JCS_EXT_BGR);
        for (ZyImageInfo& block : blocks) {
            tarnfuzz::Touch(block.Data,
                            block.Data != nullptr ? static_cast<size_t>(block.DataSize) : 0);
            Dispose(block.Data);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const tarnfuzz::InputFile file(data, size);
    ZyTarnInfo* slide = ZyOpenTarn(file.path());
    if (slide == nullptr) return 0;
    if (uint64_t{slide->PicHead->TileWidth} * slide->PicHead->TileHeight <= kMaxTilePixels) {
        for (int layer = 0; layer < static_cast<int>(std::min(uint32_t{slide->PicHead->Layer}, 3U));
             ++layer) {
            ReadTiles(slide, layer);
            ReadRegions(slide, layer);
        }
    }
    ZyCloseTarn(slide);
    return 0;
}
