// Regions of the coarse levels: the pyramid below the slide's coarsest level, each pixel the mean
// of the 2^k x 2^k pixels of that level it covers.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "Common/Geometry.h"
#include "Common/Status.h"
#include "Service/CoarseLevels.h"
#include "Service/Reads.h"

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

// Pixels (x, y, w, h) of the finer level into `out` (blue-green-red, rows without gaps): coarse
// level `from` of `levels` when it is above 0, else the slide's coarsest level.
Status ReadFiner(const ReadContext& read, const CoarseLevels* levels, int32_t from, int64_t x,
                 int64_t y, int64_t w, int64_t h, uint8_t* out) {
    if (from > 0) {
        if (levels->Read(from, x, y, w, h, false, out)) return Status::Ok;
        if (read.failure != nullptr)
            read.failure->Record(Status::Undecodable, "a tile of coarse level %d does not decode",
                                 from);
        return Status::Undecodable;
    }
    return ReadPicture(read, read.layout->layerCount - 1, x, y, w, h, out,
                       static_cast<size_t>(w) * 3, PixelFormat::Bgr);
}

// The inside part [left, right) x [top, bottom) of coarse level `level` into `dest` (rows `stride`
// bytes apart, `format`), reduced by 2^shift from level `from`, whose size is finerWidth x
// finerHeight.
Status Reduce(const ReadContext& read, const CoarseLevels* levels, int32_t from, int32_t shift,
              int64_t finerWidth, int64_t finerHeight, int64_t left, int64_t top, int64_t right,
              int64_t bottom, uint8_t* dest, size_t stride, PixelFormat format) {
    const int64_t factor = int64_t{1} << shift;
    const int bytes = BytesPerPixel(format);
    const bool redFirst = RedFirst(format);
    // Output blocks whose source fits kBlockBytes: square-ish, at least one pixel.
    const int64_t perPixel = factor * factor * 3;
    const int64_t pixelsPerBlock = kBlockBytes / perPixel;  // whole output pixels
    const int64_t side =
        std::max<int64_t>(1, static_cast<int64_t>(std::sqrt(static_cast<double>(pixelsPerBlock))));
    std::vector<uint8_t> block;
    for (int64_t by = top; by < bottom; by += side) {
        const int64_t bh = std::min(side, bottom - by);
        for (int64_t bx = left; bx < right; bx += side) {
            const int64_t bw = std::min(side, right - bx);
            const int64_t sx = bx * factor, sy = by * factor;
            const int64_t sw = std::min((bx + bw) * factor, finerWidth) - sx;
            const int64_t sh = std::min((by + bh) * factor, finerHeight) - sy;
            block.resize(static_cast<size_t>(sw * sh * 3));
            if (const Status code = ReadFiner(read, levels, from, sx, sy, sw, sh, block.data());
                code != Status::Ok)
                return code;
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
    return Status::Ok;
}

}  // namespace

int32_t CoarseLevelCount(const Slide& slide) {
    const LayerGeometry& grid = slide.layout.layers[slide.layout.layerCount - 1].grid;
    return CoarseCount(static_cast<int64_t>(grid.pictureWidth()),
                       static_cast<int64_t>(grid.pictureHeight()));
}

void CoarseLevelSize(const Slide& slide, int32_t level, int64_t* width, int64_t* height) {
    const LayerGeometry& grid = slide.layout.layers[slide.layout.layerCount - 1].grid;
    *width = CeilShift(static_cast<int64_t>(grid.pictureWidth()), level);
    *height = CeilShift(static_cast<int64_t>(grid.pictureHeight()), level);
}

Status ReadCoarseRegion(Slide& slide, const ReadContext& read, int32_t level, int64_t x, int64_t y,
                        int64_t w, int64_t h, uint8_t* dest, PixelFormat format) {
    const LayerGeometry& coarsest = slide.layout.layers[slide.layout.layerCount - 1].grid;
    const auto coarsestWidth = static_cast<int64_t>(coarsest.pictureWidth());
    const auto coarsestHeight = static_cast<int64_t>(coarsest.pictureHeight());
    int64_t width = 0, height = 0;
    CoarseLevelSize(slide, level, &width, &height);
    const size_t stride = static_cast<size_t>(w) * static_cast<size_t>(BytesPerPixel(format));
    constexpr int64_t kFar = int64_t{1} << 62;
    x = std::clamp(x, -kFar, kFar);
    y = std::clamp(y, -kFar, kFar);
    const int64_t left = std::max<int64_t>(x, 0), top = std::max<int64_t>(y, 0);
    const int64_t right = std::min(x + w, width), bottom = std::min(y + h, height);
    Area inside;
    if (left < right && top < bottom)
        inside = {static_cast<uint64_t>(left - x), static_cast<uint64_t>(top - y),
                  static_cast<uint64_t>(right - left), static_cast<uint64_t>(bottom - top)};
    FillBeyond(dest, stride, static_cast<uint64_t>(w), static_cast<uint64_t>(h), inside,
               Extent::Picture, format);
    if (inside.width == 0) return Status::Ok;

    const std::shared_ptr<CoarseLevels> built = CoarseLevels::For(slide);
    int32_t from = 0;
    if (built != nullptr) {
        built->Wait(-1);
        from = built->LevelFor(static_cast<double>(int64_t{1} << level));
    }
    const int64_t finerWidth = CeilShift(coarsestWidth, from);
    const int64_t finerHeight = CeilShift(coarsestHeight, from);
    uint8_t* at =
        dest + inside.top * stride + inside.left * static_cast<uint64_t>(BytesPerPixel(format));
    return Reduce(read, built.get(), from, level - from, finerWidth, finerHeight, left, top, right,
                  bottom, at, stride, format);
}

}  // namespace tarn
