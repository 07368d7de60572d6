#include "Service/DeepZoomTiles.h"

#include "Common/Status.h"
#include "Service/BoxFilter.h"
#include "Service/Reads.h"

namespace tarn {
namespace {

// Bytes of the area read at a time when a tile is scaled from it: memory stays bounded however
// much of the slide a tile of a coarse level covers.
constexpr size_t kAreaBlockBytes = size_t{8} << 20;

}  // namespace

bool WaitsForCoarse(const DeepZoomPlan& plan, const CoarseLevels* coarse, int32_t level) {
    const DeepZoomLevel& zoom = plan.levels[static_cast<size_t>(level)];
    return coarse != nullptr && zoom.slideLevel == coarse->sourceLevel() && zoom.zoomToSlide >= 2;
}

int32_t CoarseLevelOf(const DeepZoomPlan& plan, CoarseLevels* coarse, int32_t level) {
    if (!WaitsForCoarse(plan, coarse, level)) return 0;
    coarse->Wait(-1);
    return coarse->LevelFor(plan.levels[static_cast<size_t>(level)].zoomToSlide);
}

Status RenderDeepZoomTile(const ReadContext& call, const DeepZoomPlan& plan, CoarseLevels* coarse,
                          int32_t level, const DeepZoomTile& tile, uint8_t* dest,
                          PixelFormat format) {
    // Viewers ask for a tile's neighbours next, and neighbours overlap.
    ReadContext read = call;
    read.neighboursFollow = true;
    const int bytes = BytesPerPixel(format);
    const auto slideLevel = static_cast<uint32_t>(tile.level);
    // At the slide levels' own scales the area read is the tile: no copy, no filter. Outside
    // the picture a tile is opaque white in every layout.
    if (tile.width == tile.tileWidth && tile.height == tile.tileHeight)
        return ReadPicture(read, slideLevel, tile.left, tile.top, tile.width, tile.height, dest,
                           static_cast<size_t>(tile.tileWidth) * static_cast<size_t>(bytes), format,
                           Extent::PictureOnWhite);
    if (tile.width <= 0 || tile.height <= 0) {  // nothing to read at the edge of the bounds
        FillBeyond(dest, static_cast<size_t>(tile.tileWidth) * static_cast<size_t>(bytes),
                   static_cast<uint64_t>(tile.tileWidth), static_cast<uint64_t>(tile.tileHeight),
                   Area{}, Extent::Grid, format);
        return Status::Ok;
    }
    if (tile.width > UINT32_MAX || tile.height > UINT32_MAX) {
        if (read.failure != nullptr)
            read.failure->Record(Status::BadRegion, "the area of a Deep Zoom tile is too large");
        return Status::BadRegion;
    }
    // Read without alpha, so that outside the picture is already white, in the channel order of
    // the result; a band at a time, from a coarse level where one was built.
    const PixelFormat readFormat = RedFirst(format) ? PixelFormat::Rgb : PixelFormat::Bgr;
    const int32_t from = CoarseLevelOf(plan, coarse, level);
    int64_t areaLeft = tile.left, areaTop = tile.top, areaWidth = tile.width,
            areaHeight = tile.height;
    if (from > 0) {
        // The coarse level's pixels that cover the area (up to one more at each side).
        const int64_t step = int64_t{1} << from;
        areaLeft = tile.left >> from;
        areaTop = tile.top >> from;
        areaWidth = (tile.left + tile.width + step - 1) / step - areaLeft;
        areaHeight = (tile.top + tile.height + step - 1) / step - areaTop;
    }
    const BoxScaler scaler(static_cast<uint32_t>(areaWidth), static_cast<uint32_t>(areaHeight),
                           static_cast<uint32_t>(tile.tileWidth),
                           static_cast<uint32_t>(tile.tileHeight));
    Status code = Status::Ok;
    const auto readBlock = [&](uint32_t x, uint32_t y, uint32_t columns, uint32_t rows,
                               uint8_t* out) {
        if (from > 0) {
            if (coarse->Read(from, areaLeft + x, areaTop + y, columns, rows, RedFirst(format), out))
                return true;
            code = Status::Undecodable;
            if (read.failure != nullptr)
                read.failure->Record(code, "a tile of a coarse level does not decode");
            return false;
        }
        code = ReadPicture(read, slideLevel, tile.left + x, tile.top + y, columns, rows, out,
                           size_t{columns} * 3, readFormat);
        return code == Status::Ok;
    };
    if (scaler.Run(readBlock, dest, bytes, kAreaBlockBytes)) return Status::Ok;
    return code != Status::Ok ? code : Status::Undecodable;
}

}  // namespace tarn
