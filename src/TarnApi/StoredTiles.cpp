// The grid a level is stored in: its codec, its geometry, and one tile as stored or decoded.
#include <cstdlib>

#include "Common/EnumValue.h"
#include "Common/Geometry.h"
#include "Service/Reads.h"
#include "TarnApi/Levels.h"
#include "TarnApi/PixelLayout.h"

namespace tarn {
namespace {

// The layer's tile (col, row), or false after failing the call.
bool FindTile(SlideCall& call, int32_t level, int64_t col, int64_t row, uint32_t* x, uint32_t* y) {
    if (FindLevel(call, level) == nullptr) return false;
    const LayerGeometry& grid = call.slide().core->layout.layers[level].grid;
    if (col < 0 || row < 0 || static_cast<uint64_t>(col) >= grid.columns ||
        static_cast<uint64_t>(row) >= grid.rows) {
        call.Fail("tile (%lld, %lld) is outside level %d's grid of %llu x %llu tiles",
                  static_cast<long long>(col), static_cast<long long>(row), level,
                  static_cast<unsigned long long>(grid.columns),
                  static_cast<unsigned long long>(grid.rows));
        return false;
    }
    *x = static_cast<uint32_t>(col);
    *y = static_cast<uint32_t>(row);
    return true;
}

}  // namespace
}  // namespace tarn

using namespace tarn;

tarn_codec tarn_get_tile_codec(tarn_slide* slide) {
    return OnSlide(slide, TARN_CODEC_UNKNOWN, [](SlideCall& call) {
        switch (call.slide().core->layout.codec) {
            case TileCodec::Jpeg:
                return TARN_CODEC_JPEG;
            case TileCodec::Hevc:
                return TARN_CODEC_HEVC;
            case TileCodec::None:
                break;
        }
        return TARN_CODEC_UNKNOWN;
    });
}

int tarn_get_level_tile_grid(tarn_slide* slide, int32_t level, int64_t* tile_w, int64_t* tile_h,
                             int64_t* cols, int64_t* rows) {
    int64_t values[4] = {-1, -1, -1, -1};
    const int result = OnSlide(slide, -1, [&](SlideCall& call) {
        if (FindLevel(call, level) == nullptr) return -1;
        const LayerGeometry& grid = call.slide().core->layout.layers[level].grid;
        values[0] = static_cast<int64_t>(grid.tileWidth);
        values[1] = static_cast<int64_t>(grid.tileHeight);
        values[2] = static_cast<int64_t>(grid.columns);
        values[3] = static_cast<int64_t>(grid.rows);
        return 0;
    });
    int64_t* outputs[4] = {tile_w, tile_h, cols, rows};
    for (int i = 0; i < 4; ++i)
        if (outputs[i] != nullptr) *outputs[i] = values[i];
    return result;
}

int tarn_read_stored_tile(tarn_slide* slide, int32_t level, int64_t col, int64_t row,
                          uint8_t** data, size_t* size) {
    return OnSlide(slide, -1, [&](SlideCall& call) {
        uint32_t x = 0, y = 0;
        if (!FindTile(call, level, col, row, &x, &y)) return -1;
        if (data == nullptr || size == nullptr) {
            call.Fail("no place for the tile's bytes given");
            return -1;
        }
        const SlideReader read(*call.slide().core);
        if (ReadTileBytes(read.context(), static_cast<uint32_t>(level), x, y, data, size) !=
            Status::Ok) {
            call.Fail("%s", read.why());
            return -1;
        }
        return 0;
    });
}

int tarn_read_tile(tarn_slide* slide, int32_t level, int64_t col, int64_t row, void* dest,
                   tarn_format format) {
    const int number = EnumValue(format);
    return OnSlide(slide, -1, [&](SlideCall& call) {
        PixelFormat layout{};
        uint32_t x = 0, y = 0;
        if (!CallerLayout(call, number, &layout) || !FindTile(call, level, col, row, &x, &y))
            return -1;
        if (dest == nullptr) {
            call.Fail("no destination buffer");
            return -1;
        }
        const SlideReader read(*call.slide().core);
        const size_t stride =
            size_t{read.context().layout->tileWidth} * static_cast<size_t>(BytesPerPixel(layout));
        if (ReadTilePixels(read.context(), static_cast<uint32_t>(level), x, y,
                           static_cast<uint8_t*>(dest), stride, layout) != Status::Ok) {
            call.Fail("%s", read.why());
            return -1;
        }
        return 0;
    });
}
