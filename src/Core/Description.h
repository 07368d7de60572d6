// The slide's and each layer's description as fields: the fixed interface joins them into its
// "Key=value|..." texts, tarn.h lists them as properties. One formatting for both.
#pragma once

#include <cstdint>

#include "Common/FileRecords.h"

namespace tarn {

// What the slide's description tells: the header's fields and the associated images' sizes.
struct SlideSummary {
    const SlideHead* head = nullptr;
    uint32_t thumbWidth = 0;
    uint32_t thumbHeight = 0;
    uint32_t labelWidth = 0;  // 0 for a slide without a label/macrograph pair
    uint32_t labelHeight = 0;
    uint32_t macroWidth = 0;
    uint32_t macroHeight = 0;
};

struct DescriptionField {
    const char* key = nullptr;
    char value[400] = {};  // room for every value, the widest MPP a double can hold included
};

inline constexpr int kSlideFields = 16;
inline constexpr int kLayerFields = 6;

// CompressionType ("Jpeg", or "Hevc" for any other value), Quality, MPP ("%.6lfum/pixel"),
// AppMag, ImageWidth, ImageHeight, TileWidth, TileHeight, Layer, Ratio ("%.3f"), ThumbWidth,
// ThumbHeight, LabelWidth, LabelHeight, MacroWidth, MacroHeight.
void DescribeSlide(const SlideSummary& slide, DescriptionField (&fields)[kSlideFields]);

// LayerWidth, LayerHeight (the grid's), BoundWidth, BoundHeight, XCount, YCount, each printed as
// a signed int.
void DescribeLayer(const SlideHead& head, const PictureRecord& record,
                   DescriptionField (&fields)[kLayerFields]);

}  // namespace tarn
