#include "DecodeTarn/TileAccess.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "Common/PixelStores.h"
#include "Common/Status.h"
#include "DecodeHevc/HevcDecoder.h"
#include "DecodeJpeg/JpegCodec.h"
#include "DecodeTarn/SlideState.h"
#include "DecodeTarn/TileCache.h"

namespace tarn {
namespace {

// Every tile read opens the file anew, checks that it is still the file the slide was opened
// from, reads, and closes it. A descriptor kept open per slide would save the open, but a process
// holding a thousand slides would then hold a thousand descriptors, past the usual limit of 1024.
// The open never blocks (see OpenRegularFile). Returns the descriptor, or kFileChanged, or
// ZY_E_SHORT_READ when [offset, offset + size) does not lie inside the file.
int OpenForTile(const TileSource& source, const StoredTile& tile) {
    FileIdentity found;
    const int fd = source.path != nullptr ? OpenRegularFile(source.path, &found) : -1;
    if (fd < 0) return kFileChanged;
    if (source.identity != nullptr && !SameFile(found, *source.identity)) {
        close(fd);
        return kFileChanged;
    }
    const uint64_t size = static_cast<uint64_t>(tile.size);
    const uint64_t fileSize = static_cast<uint64_t>(found.size);
    if (tile.offset > fileSize || size > fileSize - tile.offset) {
        close(fd);
        return ZY_E_SHORT_READ;
    }
    return fd;
}

// Per-thread buffers of the tile path: stored bytes and decoded pixels of the tile in hand. What
// usual tiles need is kept between reads; more is given back after the tile.
struct TileScratch {
    ByteBuffer bytes;
    ByteBuffer pixels;
};
constexpr size_t kKeptScratchBytes = size_t{16} << 20;

TileScratch& Scratch() {
    thread_local TileScratch scratch;
    return scratch;
}

int DrawJpegTile(const ZyPicHead& head, const ColorLookup& colors, const uint8_t* bytes,
                 size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                 PixelFormat format, ByteBuffer& pixels) {
    const size_t stride = size_t{head.TileWidth} * 3;
    if (!pixels.Reserve(stride * head.TileHeight)) return kNoMemory;
    const bool decoded = DecodeJpegTile(bytes, size, head.TileWidth, head.TileHeight, part,
                                        pixels.data(), stride, colors, dst, dstStride, format);
    pixels.Shrink(kKeptScratchBytes);
    return decoded ? ZY_OK : ZY_E_DECODE;
}

_ColorSpace HevcLayoutOf(PixelFormat format) {
    switch (format) {
        case PixelFormat::Rgb:
            return CS_RGB24;
        case PixelFormat::Bgra:
            return CS_BGRA;
        case PixelFormat::Rgba:
            return CS_RGBA;
        default:
            return CS_BGR24;
    }
}

int DrawHevcTile(const ZyPicHead& head, const ColorLookup& colors, const uint8_t* bytes,
                 size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                 PixelFormat format) {
    YuvView picture;
    if (!DecodeHevcPicture(bytes, size, static_cast<int>(head.TileWidth),
                           static_cast<int>(head.TileHeight), &picture))
        return ZY_E_DECODE;
    ConvertYuvRect(picture, colors, static_cast<int>(part.x), static_cast<int>(part.y),
                   static_cast<int>(part.width), static_cast<int>(part.height),
                   HevcLayoutOf(format), dst, dstStride);
    return ZY_OK;
}

// DrawStoredTile with the calling thread's scratch.
int DrawWithScratch(const ZyTarnInfo* info, const ColorLookup& colors, const uint8_t* bytes,
                    size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                    PixelFormat format, TileScratch& scratch) {
    // Without a table there are no corrected pixels to give, and nothing would be written.
    if (!colors) return ZY_E_DECODE;
    const ZyPicHead& head = *info->PicHead;
    switch (CodecOf(head)) {
        case TileCodec::Jpeg:
            return DrawJpegTile(head, colors, bytes, size, part, dst, dstStride, format,
                                scratch.pixels);
        case TileCodec::Hevc:
            return DrawHevcTile(head, colors, bytes, size, part, dst, dstStride, format);
        case TileCodec::None:
            break;
    }
    return ZY_E_DECODE;
}

template <class Layout>
void FillWith(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height, uint32_t pixel) {
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t* out = dst + row * dstStride;
        for (uint32_t i = 0; i < width; ++i, out += Layout::kBytes)
            Layout::Store(out, pixel);
    }
}

}  // namespace

bool HandleComplete(const ZyTarnInfo* info) {
    return info != nullptr && info->Path != nullptr && info->PicHead != nullptr &&
           info->SliceInfos != nullptr && info->PicInfos != nullptr;
}

bool LayerInRange(const ZyTarnInfo* info, int layer) {
    return static_cast<uint32_t>(layer) < info->PicHead->Layer;
}

int CheckTileAddress(const ZyTarnInfo* info, int layer, int x, int y) {
    if (!HandleComplete(info)) return ZY_E_NULL;
    if (!LayerInRange(info, layer)) return ZY_E_LAYER;
    const ZyPicInfo& record = *info->PicInfos[layer];
    if (x < 0 || y < 0 || static_cast<uint32_t>(x) >= record.XCount ||
        static_cast<uint32_t>(y) >= record.YCount)
        return ZY_E_TILE;
    return ZY_OK;
}

LayerGeometry LayerOf(const ZyTarnInfo* info, uint32_t layer) {
    return GeometryOf(*info->PicHead, *info->PicInfos[layer]);
}

TileCodec CodecOf(const ZyPicHead& head) {
    switch (head.CompressionType) {
        case ZY_COMPRESSION_JPEG:
            return TileCodec::Jpeg;
        case ZY_COMPRESSION_HEVC:
            return TileCodec::Hevc;
        default:
            return TileCodec::None;
    }
}

StoredTile TileAt(const ZyTarnInfo* info, uint32_t layer, uint32_t x, uint32_t y) {
    const ZySliceInfo& slice = *info->SliceInfos[layer];
    const size_t index = size_t{y} * info->PicInfos[layer]->XCount + x;
    return {slice.Offsets[index], static_cast<int32_t>(slice.Sizes[index])};
}

TileSource SourceOf(const ZyTarnInfo* info) {
    const SlideState* state = StateOf(info);
    if (state == nullptr) return {info->Path, nullptr};
    return {state->path, &state->identity, state->colorTag};
}

int CheckSource(const TileSource& source) {
    const int fd = OpenForTile(source, StoredTile{});
    if (fd < 0) return fd;
    close(fd);
    return ZY_OK;
}

int ReadStoredTile(const TileSource& source, const StoredTile& tile, ByteBuffer* bytes) {
    const int fd = OpenForTile(source, tile);
    if (fd < 0) return fd;
    const size_t size = static_cast<size_t>(tile.size);
    int code = bytes->Reserve(size) ? ZY_OK : kNoMemory;
    if (code == ZY_OK && !ReadFully(fd, tile.offset, bytes->data(), size)) code = ZY_E_SHORT_READ;
    close(fd);
    return code;
}

int ReadStoredTile(const TileSource& source, const StoredTile& tile, unsigned char** bytes) {
    const int fd = OpenForTile(source, tile);
    if (fd < 0) return fd;
    const size_t size = static_cast<size_t>(tile.size);
    auto* buffer = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
    int code = buffer != nullptr ? ZY_OK : kNoMemory;
    if (code == ZY_OK && !ReadFully(fd, tile.offset, buffer, size)) code = ZY_E_SHORT_READ;
    close(fd);
    if (code != ZY_OK) {
        free(buffer);
        return code;
    }
    *bytes = buffer;
    return ZY_OK;
}

int DrawTile(const ZyTarnInfo* info, const ColorLookup& colors, uint32_t layer, uint32_t x,
             uint32_t y, const PixelRect& part, uint8_t* dst, size_t dstStride, PixelFormat format,
             TileCache* cache) {
    const ZyPicHead& head = *info->PicHead;
    if (CodecOf(head) == TileCodec::None) return ZY_E_DECODE;
    const StoredTile tile = TileAt(info, layer, x, y);
    if (tile.empty()) {
        FillWhite(dst, dstStride, part.width, part.height, format);
        return ZY_OK;
    }
    const TileSource source = SourceOf(info);
    auto decode = [&](const PixelRect& rect, uint8_t* out, size_t outStride, PixelFormat layout) {
        TileScratch& scratch = Scratch();
        int code = ReadStoredTile(source, tile, &scratch.bytes);
        if (code == ZY_OK)
            code =
                DrawWithScratch(info, colors, scratch.bytes.data(), static_cast<size_t>(tile.size),
                                rect, out, outStride, layout, scratch);
        scratch.bytes.Shrink(kKeptScratchBytes);
        return code;
    };
    if (source.identity == nullptr) return decode(part, dst, dstStride, format);
    const TileKey key{*source.identity, source.colorTag, layer,
                      uint64_t{y} * info->PicInfos[layer]->XCount + x};
    return DrawThroughCache(cache != nullptr ? cache : DefaultTileCache(), key, head.TileWidth,
                            head.TileHeight, part, dst, dstStride, format, decode);
}

int DrawStoredTile(const ZyTarnInfo* info, const ColorLookup& colors, const uint8_t* bytes,
                   size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                   PixelFormat format) {
    return DrawWithScratch(info, colors, bytes, size, part, dst, dstStride, format, Scratch());
}

void FillPixels(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height, uint32_t pixel,
                PixelFormat format) {
    switch (format) {
        case PixelFormat::Bgr:
            return FillWith<Bgr24>(dst, dstStride, width, height, pixel);
        case PixelFormat::Rgb:
            return FillWith<Rgb24>(dst, dstStride, width, height, pixel);
        case PixelFormat::Bgra:
            return FillWith<Bgra32>(dst, dstStride, width, height, pixel);
        case PixelFormat::Rgba:
            return FillWith<Rgba32>(dst, dstStride, width, height, pixel);
    }
}

void FillWhite(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height,
               PixelFormat format) {
    const size_t rowBytes = size_t{width} * static_cast<size_t>(BytesPerPixel(format));
    for (uint32_t row = 0; row < height; ++row)
        memset(dst + row * dstStride, 0xFF, rowBytes);
}

}  // namespace tarn
