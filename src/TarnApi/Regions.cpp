// A region is the part that overlaps the picture, drawn by the fixed interface's region path
// straight into the caller's buffer, and the rest, filled as outside.
#include "TarnApi/Regions.h"

#include <algorithm>
#include <cstddef>

#include "Common/EnumValue.h"
#include "Common/Geometry.h"
#include "Core/Region.h"
#include "TarnApi/Levels.h"
#include "TarnApi/PixelLayout.h"

namespace tarn {
namespace {

// A rectangle of a level, in that level's pixels.
struct Span {
    int64_t left, top, right, bottom;
    bool empty() const { return left >= right || top >= bottom; }
};

// Draws a rectangle of the picture of `layer` into `dst` in `format`, through the slide's tile
// cache; false after failing the call.
bool DrawPicture(SlideCall& call, const Span& area, int32_t layer, uint8_t* dst, size_t stride,
                 PixelFormat format) {
    const SlideRead read(call.slide());
    const int code = DrawRegion(read.context(), static_cast<uint32_t>(area.right - area.left),
                                static_cast<uint32_t>(area.bottom - area.top),
                                static_cast<uint32_t>(area.left), static_cast<uint32_t>(area.top),
                                static_cast<uint32_t>(layer), dst, stride, format);
    if (code == ZY_OK) return true;
    call.Fail("cannot read level %d at (%lld, %lld): %s", layer, static_cast<long long>(area.left),
              static_cast<long long>(area.top), read.why());
    return false;
}

}  // namespace

bool ReadLevelRegion(SlideCall& call, uint8_t* dest, int32_t level, int64_t left, int64_t top,
                     int64_t w, int64_t h, PixelFormat format) {
    if (w < 0 || h < 0) {
        call.Fail("negative region size %lld x %lld", static_cast<long long>(w),
                  static_cast<long long>(h));
        return false;
    }
    const Level* found = FindLevel(call, level);
    if (found == nullptr) return false;
    if (w == 0 || h == 0) return true;
    if (dest == nullptr) {
        call.Fail("no destination buffer");
        return false;
    }
    const auto bpp = static_cast<uint64_t>(BytesPerPixel(format));
    uint64_t rowBytes = 0, bytes = 0;
    if (!CheckedMultiply(static_cast<uint64_t>(w), bpp, &rowBytes) ||
        !CheckedMultiply(rowBytes, static_cast<uint64_t>(h), &bytes) || bytes > PTRDIFF_MAX) {
        call.Fail("a region of %lld x %lld pixels does not fit in memory",
                  static_cast<long long>(w), static_cast<long long>(h));
        return false;
    }
    const size_t stride = rowBytes;

    // Far outside any picture the exact position does not matter, only that it stays outside
    // and leaves room to add the region's size (below 2^62) without overflow.
    constexpr int64_t kFar = int64_t{1} << 62;
    left = std::clamp(left, -kFar, kFar);
    top = std::clamp(top, -kFar, kFar);
    const Span picture{std::max<int64_t>(left, 0), std::max<int64_t>(top, 0),
                       std::min(left + w, found->width), std::min(top + h, found->height)};
    if (picture.empty()) {
        FillOutside(dest, bytes, format);
        return true;
    }
    // Outside: whole rows above and below the picture, and the columns beside it.
    const auto rowsAbove = static_cast<size_t>(picture.top - top);
    const auto rowsIn = static_cast<size_t>(picture.bottom - picture.top);
    const auto columnsBefore = static_cast<size_t>(picture.left - left);
    const auto columnsIn = static_cast<size_t>(picture.right - picture.left);
    const size_t columnsAfter = static_cast<size_t>(w) - columnsBefore - columnsIn;
    FillOutside(dest, rowsAbove * stride, format);
    FillOutside(dest + (rowsAbove + rowsIn) * stride,
                (static_cast<size_t>(h) - rowsAbove - rowsIn) * stride, format);
    uint8_t* inside = dest + rowsAbove * stride + columnsBefore * bpp;
    for (size_t row = 0; row < rowsIn; ++row) {
        FillOutside(inside - columnsBefore * bpp + row * stride, columnsBefore * bpp, format);
        FillOutside(inside + columnsIn * bpp + row * stride, columnsAfter * bpp, format);
    }

    return DrawPicture(call, picture, level, inside, stride, format);
}

bool ReadRegion(SlideCall& call, uint8_t* dest, int64_t x, int64_t y, int32_t level, int64_t w,
                int64_t h, PixelFormat format) {
    const Level* found = FindLevel(call, level);
    if (found == nullptr) return false;
    return ReadLevelRegion(call, dest, level, ToLevel(x, found->downsample),
                           ToLevel(y, found->downsample), w, h, format);
}

}  // namespace tarn

using namespace tarn;

int tarn_read_region(tarn_slide* slide, void* dest, int64_t x, int64_t y, int32_t level, int64_t w,
                     int64_t h, tarn_format format) {
    const int number = EnumValue(format);
    return OnSlide(slide, -1, [&](SlideCall& call) {
        PixelFormat layout{};
        if (!CallerLayout(call, number, &layout)) return -1;
        return ReadRegion(call, static_cast<uint8_t*>(dest), x, y, level, w, h, layout) ? 0 : -1;
    });
}

int tarn_read_level_region(tarn_slide* slide, void* dest, int32_t level, int64_t x, int64_t y,
                           int64_t w, int64_t h, tarn_format format) {
    const int number = EnumValue(format);
    return OnSlide(slide, -1, [&](SlideCall& call) {
        PixelFormat layout{};
        if (!CallerLayout(call, number, &layout)) return -1;
        return ReadLevelRegion(call, static_cast<uint8_t*>(dest), level, x, y, w, h, layout) ? 0
                                                                                             : -1;
    });
}
