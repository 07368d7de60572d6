#include "Service/Reads.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Common/Buffers.h"
#include "Common/Status.h"
#include "Core/PixelCache.h"
#include "DecodeJpeg/JpegCodec.h"

namespace tarn {
namespace {

// Far outside any picture the exact position does not matter, only that it stays outside and
// leaves room to add a region's size (below 2^62) without overflow.
constexpr int64_t kFar = int64_t{1} << 62;

void FillRows(uint8_t* dst, size_t stride, uint64_t rowBytes, uint64_t rows, uint8_t value) {
    if (rows == 0 || rowBytes == 0) return;
    if (rowBytes == stride) {
        memset(dst, value, static_cast<size_t>(rowBytes * rows));
        return;
    }
    for (uint64_t row = 0; row < rows; ++row)
        memset(dst + row * stride, value, static_cast<size_t>(rowBytes));
}

// Draws the rectangle of `level`, inside its grid, tile by tile into `dst`.
Status DrawTiles(const ReadContext& read, uint32_t level, uint64_t x, uint64_t y, uint64_t width,
                 uint64_t height, uint8_t* dst, size_t stride, PixelFormat format) {
    const LayerGeometry& grid = read.layer(level).grid;
    const auto pixelBytes = static_cast<uint64_t>(BytesPerPixel(format));
    const uint64_t right = x + width, bottom = y + height;
    const uint64_t firstRow = y / grid.tileHeight, lastRow = (bottom - 1) / grid.tileHeight;
    const uint64_t firstCol = x / grid.tileWidth, lastCol = (right - 1) / grid.tileWidth;
    HintTiles(read, level, static_cast<uint32_t>(firstCol), static_cast<uint32_t>(lastCol),
              static_cast<uint32_t>(firstRow), static_cast<uint32_t>(lastRow));
    for (uint64_t row = firstRow; row <= lastRow; ++row) {
        const uint64_t top = std::max<uint64_t>(y, row * grid.tileHeight);
        const uint64_t end = std::min(bottom, (row + 1) * grid.tileHeight);
        for (uint64_t col = firstCol; col <= lastCol; ++col) {
            const uint64_t left = std::max<uint64_t>(x, col * grid.tileWidth);
            const uint64_t stop = std::min(right, (col + 1) * grid.tileWidth);
            const PixelRect part{static_cast<uint32_t>(left - col * grid.tileWidth),
                                 static_cast<uint32_t>(top - row * grid.tileHeight),
                                 static_cast<uint32_t>(stop - left),
                                 static_cast<uint32_t>(end - top)};
            uint8_t* at = dst + (top - y) * stride + (left - x) * pixelBytes;
            const Status code = DrawTile(read, level, static_cast<uint32_t>(col),
                                         static_cast<uint32_t>(row), part, at, stride, format);
            if (code != Status::Ok) return code;
        }
    }
    return Status::Ok;
}

}  // namespace

SlideReader::SlideReader(Slide& slide)
    : cache_(AcquireSlideCache(slide)), read_(ReadContextOf(slide, cache_, &failure_)) {}

SlideReader::~SlideReader() {
    ReleasePixelCache(cache_);
}

void FillBeyond(uint8_t* dst, size_t stride, uint64_t width, uint64_t height, const Area& inside,
                Extent extent, PixelFormat format) {
    const auto bpp = static_cast<uint64_t>(BytesPerPixel(format));
    const uint8_t value = extent == Extent::Picture && bpp == 4 ? 0 : 0xFF;
    if (inside.width == 0 || inside.height == 0) {
        FillRows(dst, stride, width * bpp, height, value);
        return;
    }
    const uint64_t below = inside.top + inside.height;
    const uint64_t after = width - inside.left - inside.width;
    FillRows(dst, stride, width * bpp, inside.top, value);
    FillRows(dst + below * stride, stride, width * bpp, height - below, value);
    uint8_t* row = dst + inside.top * stride;
    if (inside.left > 0) FillRows(row, stride, inside.left * bpp, inside.height, value);
    if (after > 0)
        FillRows(row + (inside.left + inside.width) * bpp, stride, after * bpp, inside.height,
                 value);
}

Status ReadArea(const ReadContext& read, uint32_t level, int64_t x, int64_t y, int64_t width,
                int64_t height, Extent extent, uint8_t* dst, size_t stride, PixelFormat format) {
    if (width <= 0 || height <= 0) return Status::Ok;
    const LayerGeometry& grid = read.layer(level).grid;
    const bool wholeGrid = extent == Extent::Grid;
    const auto extentWidth =
        static_cast<int64_t>(wholeGrid ? grid.gridWidth() : grid.pictureWidth());
    const auto extentHeight =
        static_cast<int64_t>(wholeGrid ? grid.gridHeight() : grid.pictureHeight());
    x = std::clamp(x, -kFar, kFar);
    y = std::clamp(y, -kFar, kFar);
    const int64_t left = std::max<int64_t>(x, 0), top = std::max<int64_t>(y, 0);
    const int64_t right = std::min(x + width, extentWidth);
    const int64_t bottom = std::min(y + height, extentHeight);
    Area inside;
    if (left < right && top < bottom)
        inside = {static_cast<uint64_t>(left - x), static_cast<uint64_t>(top - y),
                  static_cast<uint64_t>(right - left), static_cast<uint64_t>(bottom - top)};
    FillBeyond(dst, stride, static_cast<uint64_t>(width), static_cast<uint64_t>(height), inside,
               extent, format);
    if (inside.width == 0) return Status::Ok;
    const auto bpp = static_cast<uint64_t>(BytesPerPixel(format));
    return DrawTiles(read, level, static_cast<uint64_t>(left), static_cast<uint64_t>(top),
                     inside.width, inside.height, dst + inside.top * stride + inside.left * bpp,
                     stride, format);
}

Status ReadPicture(const ReadContext& read, uint32_t level, int64_t x, int64_t y, int64_t width,
                   int64_t height, uint8_t* dst, size_t stride, PixelFormat format, Extent extent) {
    const Status code = ReadArea(read, level, x, y, width, height, extent, dst, stride, format);
    if (code != Status::Ok && read.failure != nullptr)
        read.failure->Prefix("cannot read level %u at (%lld, %lld): ", level,
                             static_cast<long long>(std::clamp<int64_t>(x, 0, kFar)),
                             static_cast<long long>(std::clamp<int64_t>(y, 0, kFar)));
    return code;
}

Status ReadTileBytes(const ReadContext& read, uint32_t level, uint32_t x, uint32_t y,
                     unsigned char** data, size_t* size) {
    const StoredTile tile = TileAt(read.layer(level), x, y);
    if (tile.empty()) {
        *data = nullptr;
        *size = 0;
        return Status::Ok;
    }
    unsigned char* bytes = nullptr;
    const Status code = ReadStoredTile(read, level, x, y, tile, &bytes);
    if (code != Status::Ok) return code;
    *data = bytes;
    *size = static_cast<size_t>(tile.size);
    return Status::Ok;
}

Status ReadTilePixels(const ReadContext& read, uint32_t level, uint32_t x, uint32_t y, uint8_t* dst,
                      size_t stride, PixelFormat format) {
    const TileLayout& tiles = *read.layout;
    const PixelRect whole{0, 0, tiles.tileWidth, tiles.tileHeight};
    return DrawTile(read, level, x, y, whole, dst, stride, format);
}

Status ExportJpeg(const ReadContext& read, uint32_t level, uint32_t x, uint32_t y, uint32_t width,
                  uint32_t height, unsigned char** jpeg, int* size) {
    const size_t stride = size_t{width} * 3;
    const std::unique_ptr<uint8_t, decltype(&free)> pixels(
        static_cast<uint8_t*>(AllocatePixels(stride * height)), &free);
    if (pixels == nullptr) {
        if (read.failure != nullptr) read.failure->Record(Status::NoMemory, "out of memory");
        return Status::NoMemory;
    }
    const Status code =
        ReadArea(read, level, x, y, width, height, Extent::Grid, pixels.get(), stride);
    if (code != Status::Ok) return code;
    unsigned char* stream = nullptr;
    const int length = EncodeJpegBgr(pixels.get(), width, height, kExportQuality, &stream);
    if (length <= 0) {
        free(stream);
        if (read.failure != nullptr)
            read.failure->Record(Status::EncodeFailed, "the JPEG encoder failed");
        return Status::EncodeFailed;
    }
    *jpeg = stream;
    *size = length;
    return Status::Ok;
}

}  // namespace tarn
