// The coarse levels below a slide's coarsest level (the read service's CoarseLevels.h).
#include "Common/EnumValue.h"
#include "Common/Geometry.h"
#include "Service/CoarseLevels.h"
#include "Service/Reads.h"
#include "TarnApi/PixelLayout.h"
#include "TarnApi/Slide.h"

namespace tarn {
namespace {

// Coarse level `level` of the call's slide exists; false after failing the call.
bool FindCoarseLevel(SlideCall& call, int32_t level) {
    const int32_t count = CoarseLevelCount(*call.slide().core);
    if (level >= 1 && level <= count) return true;
    call.Fail("coarse level %d does not exist (the slide has %d)", level, count);
    return false;
}

bool ReadCoarse(SlideCall& call, uint8_t* dest, int32_t level, int64_t x, int64_t y, int64_t w,
                int64_t h, PixelFormat format) {
    if (!FindCoarseLevel(call, level)) return false;
    if (w < 0 || h < 0) {
        call.Fail("negative region size %lld x %lld", static_cast<long long>(w),
                  static_cast<long long>(h));
        return false;
    }
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
    if (ReadCoarseRegion(*call.slide().core, read.context(), level, x, y, w, h, dest, format) ==
        Status::Ok)
        return true;
    call.Fail("%s", read.why());
    return false;
}

}  // namespace
}  // namespace tarn

using namespace tarn;

int32_t tarn_get_coarse_level_count(tarn_slide* slide) {
    return OnSlide(slide, int32_t{-1},
                   [](SlideCall& call) { return CoarseLevelCount(*call.slide().core); });
}

void tarn_get_coarse_level_dimensions(tarn_slide* slide, int32_t level, int64_t* w, int64_t* h) {
    int64_t width = -1, height = -1;
    OnSlideVoid(slide, [&](SlideCall& call) {
        if (FindCoarseLevel(call, level))
            CoarseLevelSize(*call.slide().core, level, &width, &height);
    });
    if (w != nullptr) *w = width;
    if (h != nullptr) *h = height;
}

int tarn_read_coarse_region(tarn_slide* slide, void* dest, int32_t level, int64_t x, int64_t y,
                            int64_t w, int64_t h, tarn_format format) {
    const int number = EnumValue(format);
    return OnSlide(slide, -1, [&](SlideCall& call) {
        PixelFormat layout{};
        if (!CallerLayout(call, number, &layout)) return -1;
        return ReadCoarse(call, static_cast<uint8_t*>(dest), level, x, y, w, h, layout) ? 0 : -1;
    });
}

int tarn_wait_coarse_levels(tarn_slide* slide, int32_t timeout_ms) {
    return OnSlide(slide, -1, [&](SlideCall& call) {
        const std::shared_ptr<CoarseLevels> built = CoarseLevels::For(*call.slide().core);
        return built == nullptr || built->Wait(timeout_ms) ? 1 : 0;
    });
}

double tarn_get_coarse_build_progress(tarn_slide* slide) {
    return OnSlide(slide, -1.0, [&](SlideCall& call) {
        const std::shared_ptr<CoarseLevels> built = CoarseLevels::For(*call.slide().core);
        return built != nullptr ? built->Progress() : 1.0;
    });
}
