#include "Core/Description.h"

#include <cstdarg>
#include <cstdio>

#include "Common/Geometry.h"
#include "Core/Records.h"

namespace tarn {
namespace {

void Set(DescriptionField& field, const char* key, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void Set(DescriptionField& field, const char* key, const char* format, ...) {
    field.key = key;
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14 loses track of va_start here.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(field.value, sizeof field.value, format, arguments);
    va_end(arguments);
}

}  // namespace

void DescribeSlide(const SlideSummary& slide, DescriptionField (&fields)[kSlideFields]) {
    const SlideHead& head = *slide.head;
    Set(fields[0], "CompressionType", "%s", head.CompressionType == 0 ? "Jpeg" : "Hevc");
    Set(fields[1], "Quality", "%d", static_cast<int>(head.Quality));
    Set(fields[2], "MPP", "%.6lfum/pixel", head.MPP);
    Set(fields[3], "AppMag", "%u", head.AppMag);
    Set(fields[4], "ImageWidth", "%u", head.ImageWidth);
    Set(fields[5], "ImageHeight", "%u", head.ImageHeight);
    Set(fields[6], "TileWidth", "%u", head.TileWidth);
    Set(fields[7], "TileHeight", "%u", head.TileHeight);
    Set(fields[8], "Layer", "%u", head.Layer);
    Set(fields[9], "Ratio", "%.3f", static_cast<double>(head.Ratio));
    Set(fields[10], "ThumbWidth", "%u", slide.thumbWidth);
    Set(fields[11], "ThumbHeight", "%u", slide.thumbHeight);
    Set(fields[12], "LabelWidth", "%u", slide.labelWidth);
    Set(fields[13], "LabelHeight", "%u", slide.labelHeight);
    Set(fields[14], "MacroWidth", "%u", slide.macroWidth);
    Set(fields[15], "MacroHeight", "%u", slide.macroHeight);
}

void DescribeLayer(const SlideHead& head, const PictureRecord& record,
                   DescriptionField (&fields)[kLayerFields]) {
    // Every value is printed signed, as callers parse it; an open slide's grid fits an int.
    const LayerGeometry grid = GeometryOf(head, record);
    Set(fields[0], "LayerWidth", "%d", static_cast<int>(grid.gridWidth()));
    Set(fields[1], "LayerHeight", "%d", static_cast<int>(grid.gridHeight()));
    Set(fields[2], "BoundWidth", "%d", static_cast<int>(record.BoundWidth));
    Set(fields[3], "BoundHeight", "%d", static_cast<int>(record.BoundHeight));
    Set(fields[4], "XCount", "%d", static_cast<int>(record.XCount));
    Set(fields[5], "YCount", "%d", static_cast<int>(record.YCount));
}

}  // namespace tarn
