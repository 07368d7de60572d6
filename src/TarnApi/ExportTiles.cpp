// A level cut into tiles of the caller's size, each the read service's export JPEG: the bytes
// `tarn export` and tarnslide's export write, the same as the fixed interface's region JPEGs.
#include "Common/Geometry.h"
#include "Core/ExportName.h"
#include "DecodeJpeg/JpegCodec.h"
#include "Service/Reads.h"
#include "TarnApi/Levels.h"

namespace tarn {
namespace {

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
        const SlideReader read(*call.slide().core);
        unsigned char* stream = nullptr;
        int length = 0;
        if (ExportJpeg(read.context(), static_cast<uint32_t>(level), x, y,
                       static_cast<uint32_t>(tile_w), static_cast<uint32_t>(tile_h), &stream,
                       &length) != Status::Ok) {
            call.Fail("cannot read export tile (%lld, %lld) of level %d: %s",
                      static_cast<long long>(col), static_cast<long long>(row), level, read.why());
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
