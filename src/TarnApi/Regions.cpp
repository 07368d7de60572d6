// Regions of any level, anywhere: the read service's picture reads.
#include "TarnApi/Regions.h"

#include <cstddef>

#include "Common/EnumValue.h"
#include "Common/Geometry.h"
#include "Service/Reads.h"
#include "TarnApi/Levels.h"
#include "TarnApi/PixelLayout.h"

namespace tarn {

bool ReadLevelRegion(SlideCall& call, uint8_t* dest, int32_t level, int64_t left, int64_t top,
                     int64_t w, int64_t h, PixelFormat format) {
    if (w < 0 || h < 0) {
        call.Fail("negative region size %lld x %lld", static_cast<long long>(w),
                  static_cast<long long>(h));
        return false;
    }
    if (FindLevel(call, level) == nullptr) return false;
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
    const SlideReader read(*call.slide().core);
    if (ReadPicture(read.context(), static_cast<uint32_t>(level), left, top, w, h, dest, rowBytes,
                    format) == Status::Ok)
        return true;
    call.Fail("%s", read.why());
    return false;
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
