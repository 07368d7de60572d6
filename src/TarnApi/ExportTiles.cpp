// A level cut into tiles of the caller's size, each encoded as the fixed interface encodes its
// regions: the one definition of the bytes `tarn export` and tarnslide's export write.
#include <cstdlib>
#include <memory>

#include "Common/Geometry.h"
#include "Common/Buffers.h"
#include "Core/ExportName.h"
#include "Core/Region.h"
#include "DecodeJpeg/JpegCodec.h"
#include "TarnApi/Levels.h"

namespace tarn {
namespace {

constexpr int kExportQuality = 75;

// Where the tile starts in the level's grid; false after failing the call.
bool TileOrigin(SlideCall& call, const LayerGeometry& grid, int64_t col, int64_t row,
                int64_t tileWidth, int64_t tileHeight, uint32_t* x, uint32_t* y) {
    if (tileWidth < 1 || tileHeight < 1 || tileWidth > kMaxJpegSide || tileHeight > kMaxJpegSide) {
        call.Fail("export tiles are 1 to %u pixels wide and high, not %lld x %lld", kMaxJpegSide,
                  static_cast<long long>(tileWidth), static_cast<long long>(tileHeight));
        return false;
    }
    uint64_t left = 0, top = 0;
    if (col < 0 || row < 0 ||
        !CheckedMultiply(static_cast<uint64_t>(col), static_cast<uint64_t>(tileWidth), &left) ||
        !CheckedMultiply(static_cast<uint64_t>(row), static_cast<uint64_t>(tileHeight), &top) ||
        left >= grid.gridWidth() || top >= grid.gridHeight()) {
        call.Fail("export tile (%lld, %lld) of %lld x %lld pixels starts outside the grid",
                  static_cast<long long>(col), static_cast<long long>(row),
                  static_cast<long long>(tileWidth), static_cast<long long>(tileHeight));
        return false;
    }
    // The grid's sides fit an int, so an origin inside it does too.
    *x = static_cast<uint32_t>(left);
    *y = static_cast<uint32_t>(top);
    return true;
}

}  // namespace
}  // namespace tarn

using namespace tarn;

int tarn_read_export_tile_jpeg(tarn_slide* slide, int32_t level, int64_t col, int64_t row,
                               int64_t tile_w, int64_t tile_h, uint8_t** jpeg, size_t* size) {
    return OnSlide(slide, -1, [&](SlideCall& call) {
        if (FindLevel(call, level) == nullptr) return -1;
        if (jpeg == nullptr || size == nullptr) {
            call.Fail("no place for the JPEG given");
            return -1;
        }
        const LayerGeometry& grid = call.slide().core->layout.layers[level].grid;
        uint32_t x = 0, y = 0;
        if (!TileOrigin(call, grid, col, row, tile_w, tile_h, &x, &y)) return -1;
        const auto width = static_cast<uint32_t>(tile_w), height = static_cast<uint32_t>(tile_h);
        const size_t stride = size_t{width} * 3;
        const std::unique_ptr<uint8_t, decltype(&free)> pixels(
            static_cast<uint8_t*>(AllocatePixels(stride * height)), &free);
        if (pixels == nullptr) {
            call.Fail("out of memory");
            return -1;
        }
        // The region path of the fixed interface: white beyond the grid.
        const SlideRead read(call.slide());
        if (DrawRegion(read.context(), width, height, x, y, static_cast<uint32_t>(level),
                       pixels.get(), stride, PixelFormat::Bgr) != ZY_OK) {
            call.Fail("cannot read export tile (%lld, %lld) of level %d: %s",
                      static_cast<long long>(col), static_cast<long long>(row), level, read.why());
            return -1;
        }
        unsigned char* stream = nullptr;
        const int length = EncodeJpegBgr(pixels.get(), width, height, kExportQuality, &stream);
        if (length <= 0) {
            call.Fail("the JPEG encoder failed");
            return -1;
        }
        *jpeg = stream;
        *size = static_cast<size_t>(length);
        return 0;
    });
}

int tarn_export_tile_name(int64_t col, int64_t row, int64_t tile_w, int64_t tile_h, char* name,
                          size_t size) {
    return ExportTileName(name, size, col, row, tile_w, tile_h);
}
