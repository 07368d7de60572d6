// The slide and layer descriptions: key=value pairs joined by "|".
#include <cstdlib>
#include <cstdio>

#include "Common/Geometry.h"
#include "DecodeTarn/ZyCommon.h"

namespace {

constexpr size_t kDescriptionBytes = 512;
constexpr size_t kLayerInfoBytes = 256;

// Size of slot `slot` of the label/macrograph pair; 0 for a slide without one.
void PairSize(const ZyTarnInfo* info, int slot, unsigned* width, unsigned* height) {
    const ZyImageInfo* image = info->MacroImages != nullptr ? info->MacroImages[slot] : nullptr;
    *width = image != nullptr ? image->Width : 0;
    *height = image != nullptr ? image->Height : 0;
}

}  // namespace

char* GetDescription(ZyTarnInfo* info) {
    if (info == nullptr || info->PicHead == nullptr) return nullptr;
    auto* text = static_cast<char*>(malloc(kDescriptionBytes));
    if (text == nullptr) return nullptr;
    const ZyPicHead& head = *info->PicHead;
    const unsigned thumbWidth = info->ThumbImage != nullptr ? info->ThumbImage->Width : 0;
    const unsigned thumbHeight = info->ThumbImage != nullptr ? info->ThumbImage->Height : 0;
    unsigned labelWidth = 0, labelHeight = 0, macroWidth = 0, macroHeight = 0;
    PairSize(info, 0, &labelWidth, &labelHeight);
    PairSize(info, 1, &macroWidth, &macroHeight);
    // A damaged header can make the MPP text long enough to overflow; the text is then refused.
    const int length = snprintf(
        text, kDescriptionBytes,
        "CompressionType=%s|Quality=%d|MPP=%.6lfum/pixel|AppMag=%u|ImageWidth=%u|ImageHeight=%u|"
        "TileWidth=%u|TileHeight=%u|Layer=%u|Ratio=%.3f|ThumbWidth=%u|ThumbHeight=%u|"
        "LabelWidth=%u|LabelHeight=%u|MacroWidth=%u|MacroHeight=%u",
        head.CompressionType == 0 ? "Jpeg" : "Hevc", static_cast<int>(head.Quality), head.MPP,
        head.AppMag, head.ImageWidth, head.ImageHeight, head.TileWidth, head.TileHeight, head.Layer,
        static_cast<double>(head.Ratio), thumbWidth, thumbHeight, labelWidth, labelHeight,
        macroWidth, macroHeight);
    if (length < 0 || static_cast<size_t>(length) >= kDescriptionBytes) {
        free(text);
        return nullptr;
    }
    return text;
}

char* GetLayerInfo(ZyTarnInfo* info, int layer) {
    if (info == nullptr || info->PicHead == nullptr || info->PicInfos == nullptr || layer < 0)
        return nullptr;
    if (info->PicHead->Layer <= static_cast<unsigned>(layer)) return nullptr;
    const ZyPicInfo* record = info->PicInfos[layer];
    if (record == nullptr) return nullptr;
    auto* text = static_cast<char*>(malloc(kLayerInfoBytes));
    if (text == nullptr) return nullptr;
    // Every value is printed signed, as callers parse it; an open slide's grid fits an int.
    const tarn::LayerGeometry grid = tarn::GeometryOf(*info->PicHead, *record);
    snprintf(text, kLayerInfoBytes,
             "LayerWidth=%d|LayerHeight=%d|BoundWidth=%d|BoundHeight=%d|XCount=%d|YCount=%d",
             static_cast<int>(grid.gridWidth()), static_cast<int>(grid.gridHeight()),
             static_cast<int>(record->BoundWidth), static_cast<int>(record->BoundHeight),
             static_cast<int>(record->XCount), static_cast<int>(record->YCount));
    return text;
}

void Dispose(void* buffer) {
    free(buffer);
}
