#include "Core/Tiles.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Common/PixelStores.h"
#include "Common/Status.h"
#include "Core/PixelCache.h"
#include "DecodeHevc/HevcDecoder.h"
#include "DecodeJpeg/JpegCodec.h"

namespace tarn {
namespace {

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

int DrawJpegTile(const TileLayout& layout, const ColorLookup& colors, const uint8_t* bytes,
                 size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                 PixelFormat format, ByteBuffer& pixels, Message* why) {
    const size_t stride = size_t{layout.tileWidth} * 3;
    if (!pixels.Reserve(stride * layout.tileHeight)) {
        Say(why, "out of memory");
        return kNoMemory;
    }
    const bool decoded = DecodeJpegTile(bytes, size, layout.tileWidth, layout.tileHeight, part,
                                        pixels.data(), stride, colors, dst, dstStride, format, why);
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

int DrawHevcTile(const TileLayout& layout, const ColorLookup& colors, const uint8_t* bytes,
                 size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                 PixelFormat format, Message* why) {
    YuvView picture;
    if (!DecodeHevcPicture(bytes, size, static_cast<int>(layout.tileWidth),
                           static_cast<int>(layout.tileHeight), &picture, why))
        return ZY_E_DECODE;
    ConvertYuvRect(picture, colors, static_cast<int>(part.x), static_cast<int>(part.y),
                   static_cast<int>(part.width), static_cast<int>(part.height),
                   HevcLayoutOf(format), dst, dstStride);
    return ZY_OK;
}

// DrawStoredTile with the calling thread's scratch.
int DrawWithScratch(const ReadContext& read, const uint8_t* bytes, size_t size,
                    const PixelRect& part, uint8_t* dst, size_t dstStride, PixelFormat format,
                    TileScratch& scratch, Message* why) {
    // Without a table there are no corrected pixels to give, and nothing would be written.
    if (!read.colors) {
        Say(why, "there is no colour table to correct its pixels with");
        return ZY_E_DECODE;
    }
    const TileLayout& layout = *read.layout;
    switch (layout.codec) {
        case TileCodec::Jpeg:
            return DrawJpegTile(layout, read.colors, bytes, size, part, dst, dstStride, format,
                                scratch.pixels, why);
        case TileCodec::Hevc:
            return DrawHevcTile(layout, read.colors, bytes, size, part, dst, dstStride, format,
                                why);
        case TileCodec::None:
            break;
    }
    Say(why, "the slide's compression is not one the library decodes");
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

// Records a failure of tile (x, y) of `layer` in the call, and echoes a codec's loud message.
void TileFailed(const ReadContext& read, int code, uint32_t layer, uint32_t x, uint32_t y,
                const Message& why) {
    if (read.echo != nullptr && why.loud && !why.empty()) read.echo(why);
    if (read.failure == nullptr) return;
    const char* what = code == ZY_E_DECODE ? "does not decode" : "cannot be read";
    if (code == kFileChanged) what = "cannot be read any more";
    read.failure->Record(code, "tile (%u, %u) of level %u %s: %s", x, y, layer, what,
                         why.empty() ? "no reason given" : why.text);
}

// A tile's stored bytes into memory from `allocate(size)` (null when there is none), asked for
// only once the table's size for the tile is known to fit in the slide (a damaged table may claim
// gigabytes).
template <typename Allocate>
int ReadTileBytes(const ReadContext& read, const StoredTile& tile, Allocate allocate,
                  Message* why) {
    const auto size = static_cast<size_t>(tile.size);
    const int code = CheckRange(*read.source, tile.offset, size, why);
    if (code != ZY_OK) return code;
    void* out = allocate(size);
    if (out == nullptr) {
        Say(why, "out of memory");
        return kNoMemory;
    }
    return ReadFromSource(*read.source, tile.offset, out, size, why);
}

int ReadTileBytes(const ReadContext& read, const StoredTile& tile, ByteBuffer* bytes,
                  Message* why) {
    return ReadTileBytes(
        read, tile,
        [bytes](size_t size) -> void* {
            return bytes->Reserve(size > 0 ? size : 1) ? bytes->data() : nullptr;
        },
        why);
}

// A tag for the part of a tile a read asks for, so that the cache can tell a read that repeats an
// earlier one from a read of another part of the same tile.
uint64_t PartTag(const PixelRect& part) {
    return (uint64_t{part.x} << 48) ^ (uint64_t{part.y} << 32) ^ (uint64_t{part.width} << 16) ^
           uint64_t { part.height } ^ 0x5bd1e9955bd1e995ULL;
}

}  // namespace

TileCodec CodecOf(uint32_t compressionType) {
    switch (compressionType) {
        case ZY_COMPRESSION_JPEG:
            return TileCodec::Jpeg;
        case ZY_COMPRESSION_HEVC:
            return TileCodec::Hevc;
        default:
            return TileCodec::None;
    }
}

StoredTile TileAt(const LayerTiles& layer, uint32_t x, uint32_t y) {
    const size_t index = size_t{y} * layer.grid.columns + x;
    return {layer.offsets[index], static_cast<int32_t>(layer.sizes[index])};
}

void CallFailure::Record(int code, const char* format, ...) {
    if (failed()) return;
    const std::lock_guard<std::mutex> hold(lock_);
    if (failed_.load(std::memory_order_relaxed)) return;
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14 loses track of va_start here.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(message_.text, sizeof message_.text, format, arguments);
    va_end(arguments);
    code_ = code;
    failed_.store(true, std::memory_order_release);
}

void CallFailure::Prefix(const char* format, ...) {
    if (!failed()) return;
    const std::lock_guard<std::mutex> hold(lock_);
    char prefix[sizeof message_.text];
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(prefix, sizeof prefix, format, arguments);
    va_end(arguments);
    // Joined by hand: the text is cut at the record's size on purpose.
    char joined[sizeof message_.text];
    const size_t lead = strnlen(prefix, sizeof joined - 1);
    memcpy(joined, prefix, lead);
    const size_t rest =
        std::min(strnlen(message_.text, sizeof message_.text), sizeof joined - 1 - lead);
    memcpy(joined + lead, message_.text, rest);
    joined[lead + rest] = '\0';
    memcpy(message_.text, joined, sizeof joined);
}

int ReadStoredTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y,
                   const StoredTile& tile, ByteBuffer* bytes) {
    Message why;
    const int code = ReadTileBytes(read, tile, bytes, &why);
    if (code != ZY_OK) TileFailed(read, code, layer, x, y, why);
    return code;
}

int ReadStoredTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y,
                   const StoredTile& tile, unsigned char** bytes) {
    Message why;
    unsigned char* buffer = nullptr;
    const int code = ReadTileBytes(
        read, tile,
        [&buffer](size_t size) -> void* {
            return buffer = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
        },
        &why);
    if (code != ZY_OK) {
        free(buffer);
        TileFailed(read, code, layer, x, y, why);
        return code;
    }
    *bytes = buffer;
    return ZY_OK;
}

int DrawTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y, const PixelRect& part,
             uint8_t* dst, size_t dstStride, PixelFormat format) {
    const TileLayout& layout = *read.layout;
    if (layout.codec == TileCodec::None) {
        if (read.failure != nullptr)
            read.failure->Record(ZY_E_DECODE,
                                 "the slide's compression is not one the library decodes");
        return ZY_E_DECODE;
    }
    const StoredTile tile = TileAt(read.layer(layer), x, y);
    if (tile.empty()) {
        FillWhite(dst, dstStride, part.width, part.height, format);
        return ZY_OK;
    }
    // The cache may ask for the whole tile first and, when that fails (damage in rows the part
    // never reaches), for the part: the bytes are read once for both.
    const auto size = static_cast<size_t>(tile.size);
    Message why;
    bool haveBytes = false;
    TileScratch& scratch = Scratch();
    auto decode = [&](const PixelRect& rect, uint8_t* out, size_t outStride, PixelFormat into) {
        why = Message{};
        int code = ZY_OK;
        if (!haveBytes) {
            code = ReadTileBytes(read, tile, &scratch.bytes, &why);
            haveBytes = code == ZY_OK;
        }
        if (code == ZY_OK)
            code = DrawWithScratch(read, scratch.bytes.data(), size, rect, out, outStride, into,
                                   scratch, &why);
        return code;
    };
    const int code = read.cache != nullptr && read.sourceKey != 0 && read.colorTag != 0
                         ? DrawThroughCache(read.cache, TileKeyOf(read, layer, x, y),
                                            layout.tileWidth, layout.tileHeight, part, dst,
                                            dstStride, format, decode, PartTag(part))
                         : decode(part, dst, dstStride, format);
    scratch.bytes.Shrink(kKeptScratchBytes);
    if (code != ZY_OK) TileFailed(read, code, layer, x, y, why);
    return code;
}

int DrawStoredTile(const ReadContext& read, const uint8_t* bytes, size_t size,
                   const PixelRect& part, uint8_t* dst, size_t dstStride, PixelFormat format,
                   Message* why) {
    return DrawWithScratch(read, bytes, size, part, dst, dstStride, format, Scratch(), why);
}

void HintTiles(const ReadContext& read, uint32_t layer, uint32_t firstColumn, uint32_t lastColumn,
               uint32_t firstRow, uint32_t lastRow) {
    if (read.source->prefetch == nullptr) return;
    const LayerTiles& tiles = read.layer(layer);
    std::vector<ByteRange> ranges;
    try {
        for (uint32_t y = firstRow; y <= lastRow; ++y)
            for (uint32_t x = firstColumn; x <= lastColumn; ++x) {
                const StoredTile tile = TileAt(tiles, x, y);
                if (tile.empty() || (read.cache != nullptr &&
                                     TileIsCached(read.cache, TileKeyOf(read, layer, x, y))))
                    continue;
                ranges.push_back({tile.offset, static_cast<uint64_t>(tile.size)});
            }
    } catch (...) {
        return;  // a hint without memory is no hint
    }
    HintReads(*read.source, ranges.data(), ranges.size());
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
