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

Status DrawJpegTile(const TileLayout& layout, const ColorLookup& colors, const uint8_t* bytes,
                    size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                    PixelFormat format, ByteBuffer& pixels, Error* why) {
    const Status code = DecodeJpegTile(bytes, size, layout.tileWidth, layout.tileHeight, part,
                                       pixels, colors, dst, dstStride, format, why);
    pixels.Shrink(kKeptScratchBytes);
    return code;
}

PackedLayout HevcLayoutOf(PixelFormat format) {
    switch (format) {
        case PixelFormat::Rgb:
            return PackedLayout::Rgb24;
        case PixelFormat::Bgra:
            return PackedLayout::Bgra;
        case PixelFormat::Rgba:
            return PackedLayout::Rgba;
        default:
            return PackedLayout::Bgr24;
    }
}

Status DrawHevcTile(const TileLayout& layout, const ColorLookup& colors, const uint8_t* bytes,
                    size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                    PixelFormat format, Error* why) {
    YuvView picture;
    if (!DecodeHevcPicture(bytes, size, static_cast<int>(layout.tileWidth),
                           static_cast<int>(layout.tileHeight), &picture, why))
        return Status::Undecodable;
    ConvertYuvRect(picture, colors, static_cast<int>(part.x), static_cast<int>(part.y),
                   static_cast<int>(part.width), static_cast<int>(part.height),
                   HevcLayoutOf(format), dst, dstStride);
    return Status::Ok;
}

// DrawStoredTile with the calling thread's scratch.
Status DrawWithScratch(const ReadContext& read, const uint8_t* bytes, size_t size,
                       const PixelRect& part, uint8_t* dst, size_t dstStride, PixelFormat format,
                       TileScratch& scratch, Error* why) {
    // Without a table there are no corrected pixels to give, and nothing would be written.
    if (!read.colors) {
        Say(why, "there is no colour table to correct its pixels with");
        return Status::Undecodable;
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
    return Status::Undecodable;
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
void TileFailed(const ReadContext& read, Status code, uint32_t layer, uint32_t x, uint32_t y,
                const Error& why) {
    if (read.echo != nullptr && why.loud && !why.empty()) read.echo(why);
    if (read.failure == nullptr) return;
    const char* what = code == Status::Undecodable ? "does not decode" : "cannot be read";
    if (code == Status::FileChanged) what = "cannot be read any more";
    read.failure->RecordCodec(code, why.loud, "tile (%u, %u) of level %u %s: %s", x, y, layer, what,
                              why.empty() ? "no reason given" : why.text);
}

// A tile's stored bytes into memory from `allocate(size)` (null when there is none), asked for
// only once the table's size for the tile is known to fit in the slide (a damaged table may claim
// gigabytes).
template <typename Allocate>
Status ReadTileBytes(const ReadContext& read, const StoredTile& tile, Allocate allocate,
                     Error* why) {
    const auto size = static_cast<size_t>(tile.size);
    const Status code = CheckRange(*read.source, tile.offset, size, why);
    if (code != Status::Ok) return code;
    void* out = allocate(size);
    if (out == nullptr) {
        Say(why, "out of memory");
        return Status::NoMemory;
    }
    return ReadFromSource(*read.source, tile.offset, out, size, why);
}

Status ReadTileBytes(const ReadContext& read, const StoredTile& tile, ByteBuffer* bytes,
                     Error* why) {
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
        case kCompressionJpeg:
            return TileCodec::Jpeg;
        case kCompressionHevc:
            return TileCodec::Hevc;
        default:
            return TileCodec::None;
    }
}

StoredTile TileAt(const LayerTiles& layer, uint32_t x, uint32_t y) {
    const size_t index = size_t{y} * layer.grid.columns + x;
    return {layer.offsets[index], static_cast<int32_t>(layer.sizes[index])};
}

void CallFailure::Record(Status code, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    RecordList(code, false, format, arguments);
    va_end(arguments);
}

void CallFailure::RecordCodec(Status code, bool loud, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    RecordList(code, loud, format, arguments);
    va_end(arguments);
}

void CallFailure::RecordList(Status code, bool loud, const char* format, va_list arguments) {
    if (failed()) return;
    const std::lock_guard<std::mutex> hold(lock_);
    if (failed_.load(std::memory_order_relaxed)) return;
    // clang-tidy 14 loses track of va_start here.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(error_.text, sizeof error_.text, format, arguments);
    error_.status = code;
    error_.loud = loud;
    failed_.store(true, std::memory_order_release);
}

void CallFailure::Prefix(const char* format, ...) {
    if (!failed()) return;
    const std::lock_guard<std::mutex> hold(lock_);
    char prefix[sizeof error_.text];
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(prefix, sizeof prefix, format, arguments);
    va_end(arguments);
    // Joined by hand: the text is cut at the record's size on purpose.
    char joined[sizeof error_.text];
    const size_t lead = strnlen(prefix, sizeof joined - 1);
    memcpy(joined, prefix, lead);
    const size_t rest =
        std::min(strnlen(error_.text, sizeof error_.text), sizeof joined - 1 - lead);
    memcpy(joined + lead, error_.text, rest);
    joined[lead + rest] = '\0';
    memcpy(error_.text, joined, sizeof joined);
}

Status ReadStoredTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y,
                      const StoredTile& tile, ByteBuffer* bytes) {
    Error why;
    const Status code = ReadTileBytes(read, tile, bytes, &why);
    if (code != Status::Ok) TileFailed(read, code, layer, x, y, why);
    return code;
}

Status ReadStoredTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y,
                      const StoredTile& tile, unsigned char** bytes) {
    Error why;
    unsigned char* buffer = nullptr;
    const Status code = ReadTileBytes(
        read, tile,
        [&buffer](size_t size) -> void* {
            return buffer = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
        },
        &why);
    if (code != Status::Ok) {
        free(buffer);
        TileFailed(read, code, layer, x, y, why);
        return code;
    }
    *bytes = buffer;
    return Status::Ok;
}

Status DrawTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y,
                const PixelRect& part, uint8_t* dst, size_t dstStride, PixelFormat format) {
    const TileLayout& layout = *read.layout;
    if (layout.codec == TileCodec::None) {
        if (read.failure != nullptr)
            read.failure->Record(Status::Undecodable,
                                 "the slide's compression is not one the library decodes");
        return Status::Undecodable;
    }
    const StoredTile tile = TileAt(read.layer(layer), x, y);
    if (tile.empty()) {
        FillWhite(dst, dstStride, part.width, part.height, format);
        return Status::Ok;
    }
    // The cache may ask for the whole tile first and, when that fails (damage in rows the part
    // never reaches), for the part: the bytes are read once for both.
    const auto size = static_cast<size_t>(tile.size);
    Error why;
    bool haveBytes = false;
    TileScratch& scratch = Scratch();
    auto decode = [&](const PixelRect& rect, uint8_t* out, size_t outStride, PixelFormat into) {
        why = Error{};
        Status code = Status::Ok;
        if (!haveBytes) {
            code = ReadTileBytes(read, tile, &scratch.bytes, &why);
            haveBytes = code == Status::Ok;
        }
        if (code == Status::Ok)
            code = DrawWithScratch(read, scratch.bytes.data(), size, rect, out, outStride, into,
                                   scratch, &why);
        return code;
    };
    const Status code =
        read.cache != nullptr && read.sourceKey != 0 && read.colorTag != 0
            ? DrawThroughCache(read.cache, TileKeyOf(read, layer, x, y), layout.tileWidth,
                               layout.tileHeight, part, dst, dstStride, format, decode,
                               PartTag(part), read.neighboursFollow)
            : decode(part, dst, dstStride, format);
    scratch.bytes.Shrink(kKeptScratchBytes);
    if (code != Status::Ok) TileFailed(read, code, layer, x, y, why);
    return code;
}

Status DrawStoredTile(const ReadContext& read, const uint8_t* bytes, size_t size,
                      const PixelRect& part, uint8_t* dst, size_t dstStride, PixelFormat format,
                      Error* why) {
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
