// Opening a slide, its description, layer texts and associated images; the same through tarn.h,
// with its properties, a few small regions and the Deep Zoom geometry.
#include <cstdint>
#include <cstring>
#include <vector>

#include "DecodeTarn.h"
#include "FuzzSupport.h"
#include "tarn.h"

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

void TouchList(const char* const* names) {
    for (; names != nullptr && *names != nullptr; ++names)
        tarnfuzz::Touch(*names, strlen(*names));
}

void ThroughTarnH(const char* path) {
    tarn_slide* slide = tarn_open(path);
    if (slide == nullptr) return;
    const char* const* names = tarn_get_property_names(slide);
    TouchList(names);
    for (; *names != nullptr; ++names) {
        const char* value = tarn_get_property_value(slide, *names);
        tarnfuzz::Touch(value, strlen(value));
    }
    TouchList(tarn_get_associated_image_names(slide));
    std::vector<uint8_t> pixels(64 * 64 * 4);
    for (int32_t level = 0; level < tarn_get_level_count(slide); ++level) {
        int64_t w = 0, h = 0;
        tarn_get_level_dimensions(slide, level, &w, &h);
        const double downsample = tarn_get_level_downsample(slide, level);
        const auto x = static_cast<int64_t>(static_cast<double>(w / 2) * downsample);
        const auto y = static_cast<int64_t>(static_cast<double>(h / 2) * downsample);
        if (tarn_read_region(slide, pixels.data(), x - 32, y - 32, level, 64, 64,
                             TARN_FORMAT_RGBA) == 0)
            tarnfuzz::Touch(pixels.data(), pixels.size());
    }
    if (tarn_deepzoom* dz = tarn_deepzoom_create(slide, 254, 1, 1)) {
        tarn_deepzoom_tile tile{};
        for (int32_t level = 0; level < tarn_deepzoom_get_level_count(dz); ++level)
            tarn_deepzoom_get_tile_info(dz, level, 0, 0, &tile);
        tarn_deepzoom_destroy(dz);
    }
    tarn_close(slide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const tarnfuzz::InputFile file(data, size);
    ThroughTarnH(file.path());
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
