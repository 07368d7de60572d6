// Regions of the coarse levels: the pyramid below the slide's coarsest level, each pixel the mean
// of the 2^k x 2^k pixels of that level it covers. Read from the coarse levels built for a large
// slide when there are some, else from the coarsest level itself, a block at a time.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "Common/EnumValue.h"
#include "Common/Geometry.h"
#include "TarnApi/CoarseLevels.h"
#include "TarnApi/Levels.h"
#include "TarnApi/PixelLayout.h"
#include "TarnApi/Regions.h"

namespace tarn {
namespace {

// Source pixels read at a time, in bytes (at least one output pixel's worth).
constexpr int64_t kBlockBytes = int64_t{8} << 20;

int64_t CeilShift(int64_t value, int32_t shift) {
    return (value + (int64_t{1} << shift) - 1) >> shift;
}

// Coarse levels of a slide whose coarsest level is width x height: halvings until it fits one
// coarse tile.
int32_t CoarseCount(int64_t width, int64_t height) {
    int32_t count = 0;
    while (CeilShift(width, count) > kCoarseTileSide || CeilShift(height, count) > kCoarseTileSide)
        ++count;
    return count;
}

const Level& Coarsest(const tarn_slide& slide) {
    return slide.levels.back();
}

// Pixels (x, y, w, h) of the finer level into `out` (blue-green-red, rows without gaps): coarse
// level `from` of `levels` when it is above 0, else the slide's coarsest level.
bool ReadFiner(SlideCall& call, const CoarseLevels* levels, int32_t from, int64_t x, int64_t y,
               int64_t w, int64_t h, uint8_t* out) {
    if (from > 0) {
        if (levels->Read(from, x, y, w, h, false, out)) return true;
        call.Fail("a tile of coarse level %d does not decode", from);
        return false;
    }
    const auto source = static_cast<int32_t>(call.slide().levels.size() - 1);
    return ReadLevelRegion(call, out, source, x, y, w, h, PixelFormat::Bgr);
}

// The inside part [left, right) x [top, bottom) of coarse level `level` into `dest` (rows `stride`
// bytes apart, `format`), reduced by 2^shift from level `from`, whose size is finerWidth x
// finerHeight.
bool Reduce(SlideCall& call, const CoarseLevels* levels, int32_t from, int32_t shift,
            int64_t finerWidth, int64_t finerHeight, int64_t left, int64_t top, int64_t right,
            int64_t bottom, uint8_t* dest, size_t stride, PixelFormat format) {
    const int64_t factor = int64_t{1} << shift;
    const int bytes = BytesPerPixel(format);
    const bool redFirst = RedFirst(format);
    // Output blocks whose source fits kBlockBytes: square-ish, at least one pixel.
    const int64_t perPixel = factor * factor * 3;
    const int64_t side = std::max<int64_t>(
        1, static_cast<int64_t>(std::sqrt(static_cast<double>(kBlockBytes / perPixel))));
    std::vector<uint8_t> block;
    for (int64_t by = top; by < bottom; by += side) {
        const int64_t bh = std::min(side, bottom - by);
        for (int64_t bx = left; bx < right; bx += side) {
            const int64_t bw = std::min(side, right - bx);
            const int64_t sx = bx * factor, sy = by * factor;
            const int64_t sw = std::min((bx + bw) * factor, finerWidth) - sx;
            const int64_t sh = std::min((by + bh) * factor, finerHeight) - sy;
            block.resize(static_cast<size_t>(sw * sh * 3));
            if (!ReadFiner(call, levels, from, sx, sy, sw, sh, block.data())) return false;
            for (int64_t oy = 0; oy < bh; ++oy) {
                const int64_t y0 = oy * factor, y1 = std::min(sh, y0 + factor);
                uint8_t* out = dest + static_cast<size_t>(by - top + oy) * stride +
                               static_cast<size_t>(bx - left) * static_cast<size_t>(bytes);
                for (int64_t ox = 0; ox < bw; ++ox, out += bytes) {
                    const int64_t x0 = ox * factor, x1 = std::min(sw, x0 + factor);
                    uint64_t sum[3] = {0, 0, 0};
                    for (int64_t py = y0; py < y1; ++py) {
                        const uint8_t* in = block.data() + static_cast<size_t>((py * sw + x0) * 3);
                        for (int64_t px = x0; px < x1; ++px, in += 3) {
                            sum[0] += in[0];
                            sum[1] += in[1];
                            sum[2] += in[2];
                        }
                    }
                    const auto count = static_cast<uint64_t>((y1 - y0) * (x1 - x0));
                    uint8_t pixel[3];
                    for (int c = 0; c < 3; ++c)
                        pixel[c] = static_cast<uint8_t>((sum[c] + count / 2) / count);
                    out[0] = redFirst ? pixel[2] : pixel[0];
                    out[1] = pixel[1];
                    out[2] = redFirst ? pixel[0] : pixel[2];
                    if (bytes == 4) out[3] = 0xFF;
                }
            }
        }
    }
    return true;
}

bool ReadCoarseRegion(SlideCall& call, uint8_t* dest, int32_t level, int64_t x, int64_t y,
                      int64_t w, int64_t h, PixelFormat format) {
    const Level& coarsest = Coarsest(call.slide());
    const int32_t count = CoarseCount(coarsest.width, coarsest.height);
    if (level < 1 || level > count) {
        call.Fail("coarse level %d does not exist (the slide has %d)", level, count);
        return false;
    }
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
    const int64_t width = CeilShift(coarsest.width, level);
    const int64_t height = CeilShift(coarsest.height, level);
    constexpr int64_t kFar = int64_t{1} << 62;
    x = std::clamp(x, -kFar, kFar);
    y = std::clamp(y, -kFar, kFar);
    const int64_t left = std::max<int64_t>(x, 0), top = std::max<int64_t>(y, 0);
    const int64_t right = std::min(x + w, width), bottom = std::min(y + h, height);
    FillOutside(dest, bytes, format);
    if (left >= right || top >= bottom) return true;

    const std::shared_ptr<CoarseLevels> built = CoarseLevels::For(&call.slide());
    int32_t from = 0;
    if (built != nullptr) {
        built->Wait(-1);
        from = built->LevelFor(static_cast<double>(int64_t{1} << level));
    }
    const int64_t finerWidth = CeilShift(coarsest.width, from);
    const int64_t finerHeight = CeilShift(coarsest.height, from);
    const size_t stride = rowBytes;
    uint8_t* inside = dest + static_cast<size_t>(top - y) * stride +
                      static_cast<size_t>(left - x) * static_cast<size_t>(bpp);
    return Reduce(call, built.get(), from, level - from, finerWidth, finerHeight, left, top, right,
                  bottom, inside, stride, format);
}

}  // namespace
}  // namespace tarn

using namespace tarn;

int32_t tarn_get_coarse_level_count(tarn_slide* slide) {
    return OnSlide(slide, int32_t{-1}, [](SlideCall& call) {
        const Level& coarsest = Coarsest(call.slide());
        return CoarseCount(coarsest.width, coarsest.height);
    });
}

void tarn_get_coarse_level_dimensions(tarn_slide* slide, int32_t level, int64_t* w, int64_t* h) {
    int64_t width = -1, height = -1;
    OnSlideVoid(slide, [&](SlideCall& call) {
        const Level& coarsest = Coarsest(call.slide());
        const int32_t count = CoarseCount(coarsest.width, coarsest.height);
        if (level < 1 || level > count) {
            call.Fail("coarse level %d does not exist (the slide has %d)", level, count);
            return;
        }
        width = CeilShift(coarsest.width, level);
        height = CeilShift(coarsest.height, level);
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
        return ReadCoarseRegion(call, static_cast<uint8_t*>(dest), level, x, y, w, h, layout) ? 0
                                                                                              : -1;
    });
}

int tarn_wait_coarse_levels(tarn_slide* slide, int32_t timeout_ms) {
    return OnSlide(slide, -1, [&](SlideCall& call) {
        const std::shared_ptr<CoarseLevels> built = CoarseLevels::For(&call.slide());
        return built == nullptr || built->Wait(timeout_ms) ? 1 : 0;
    });
}

double tarn_get_coarse_build_progress(tarn_slide* slide) {
    return OnSlide(slide, -1.0, [&](SlideCall& call) {
        const std::shared_ptr<CoarseLevels> built = CoarseLevels::For(&call.slide());
        return built != nullptr ? built->Progress() : 1.0;
    });
}
