// The slide and layer descriptions: key=value pairs joined by "|".
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "Core/Description.h"
#include "FixedApi/RecordViews.h"
#include "FixedApi/ZyCommon.h"

namespace {

constexpr size_t kDescriptionBytes = 512;
constexpr size_t kLayerInfoBytes = 256;

// Size of slot `slot` of the label/macrograph pair; 0 for a slide without one.
void PairSize(const ZyTarnInfo* info, int slot, uint32_t* width, uint32_t* height) {
    const ZyImageInfo* image = info->MacroImages != nullptr ? info->MacroImages[slot] : nullptr;
    *width = image != nullptr ? image->Width : 0;
    *height = image != nullptr ? image->Height : 0;
}

// "Key=value|Key=value..." in a new buffer of `bytes`; null when it would not fit (a damaged
// header can make the MPP text that long) or memory runs out.
template <int Count>
char* Join(const tarn::DescriptionField (&fields)[Count], size_t bytes) {
    auto* text = static_cast<char*>(malloc(bytes));
    if (text == nullptr) return nullptr;
    size_t length = 0;
    for (int i = 0; i < Count; ++i) {
        const int written = snprintf(text + length, bytes - length, "%s%s=%s", i > 0 ? "|" : "",
                                     fields[i].key, fields[i].value);
        if (written < 0 || static_cast<size_t>(written) >= bytes - length) {
            free(text);
            return nullptr;
        }
        length += static_cast<size_t>(written);
    }
    return text;
}

}  // namespace

char* GetDescription(ZyTarnInfo* info) {
    if (info == nullptr || info->PicHead == nullptr) return nullptr;
    tarn::SlideSummary summary;
    summary.head = tarn::AsCore(info->PicHead);
    if (info->ThumbImage != nullptr) {
        summary.thumbWidth = info->ThumbImage->Width;
        summary.thumbHeight = info->ThumbImage->Height;
    }
    PairSize(info, 0, &summary.labelWidth, &summary.labelHeight);
    PairSize(info, 1, &summary.macroWidth, &summary.macroHeight);
    tarn::DescriptionField fields[tarn::kSlideFields];
    tarn::DescribeSlide(summary, fields);
    return Join(fields, kDescriptionBytes);
}

char* GetLayerInfo(ZyTarnInfo* info, int layer) {
    if (info == nullptr || info->PicHead == nullptr || info->PicInfos == nullptr || layer < 0)
        return nullptr;
    if (info->PicHead->Layer <= static_cast<unsigned>(layer)) return nullptr;
    const ZyPicInfo* record = info->PicInfos[layer];
    if (record == nullptr) return nullptr;
    tarn::DescriptionField fields[tarn::kLayerFields];
    tarn::DescribeLayer(tarn::AsCore(*info->PicHead), tarn::AsCore(*record), fields);
    return Join(fields, kLayerInfoBytes);
}

void Dispose(void* buffer) {
    free(buffer);
}
