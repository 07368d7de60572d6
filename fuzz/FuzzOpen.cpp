// Opening a slide, its description, layer texts and associated images.
#include <cstdint>

#include "DecodeTarn.h"
#include "FuzzSupport.h"

namespace {

void TouchImage(const ZyImageInfo* image) {
    if (image == nullptr) return;
    tarnfuzz::Touch(image->Data, image->DataSize > 0 ? static_cast<size_t>(image->DataSize) : 0);
    if (image->Pixels != nullptr)
        tarnfuzz::Touch(image->Pixels, size_t{image->Width} * image->Height * 3);
}

void TouchExport(unsigned char* data, size_t size) {
    tarnfuzz::Touch(data, size);
    Dispose(data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const tarnfuzz::InputFile file(data, size);
    ZyTarnInfo* slide = ZyOpenTarn(file.path());
    if (slide == nullptr) return 0;

    char* description = GetDescription(slide);
    tarnfuzz::Touch(description, description != nullptr ? 512 : 0);
    Dispose(description);
    for (uint32_t layer = 0; layer < slide->PicHead->Layer; ++layer) {
        char* info = GetLayerInfo(slide, static_cast<int>(layer));
        tarnfuzz::Touch(info, info != nullptr ? 256 : 0);
        Dispose(info);
        const ZySliceInfo& tiles = *slide->SliceInfos[layer];
        const size_t count = slide->PicInfos[layer]->TileCount;
        tarnfuzz::Touch(tiles.Offsets, tiles.Offsets != nullptr ? count * 8 : 0);
        tarnfuzz::Touch(tiles.Sizes, tiles.Sizes != nullptr ? count * 4 : 0);
    }
    TouchImage(slide->ThumbImage);
    if (slide->MacroImages != nullptr) {
        TouchImage(slide->MacroImages[0]);
        TouchImage(slide->MacroImages[1]);
    }

    int width = 0, height = 0, bytes = 0;
    unsigned char* jpeg = GetThumbnailJpeg(slide, &width, &height, &bytes);
    TouchExport(jpeg, jpeg != nullptr ? static_cast<size_t>(bytes) : 0);
    for (auto* get : {GetLabelJpeg, GetMacrographJpeg}) {
        jpeg = get(slide, &width, &height, &bytes);
        TouchExport(jpeg, jpeg != nullptr ? static_cast<size_t>(bytes) : 0);
    }
    for (auto* get : {GetThumbnailAbgr, GetLabelAbgr, GetMacrographAbgr}) {
        unsigned char* pixels = get(slide, &width, &height);
        TouchExport(pixels, pixels != nullptr ? size_t(width) * size_t(height) * 4 : 0);
    }
    ZyCloseTarn(slide);
    return 0;
}
