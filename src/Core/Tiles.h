// The tile path every read takes, whatever the interface: where tiles are (the layer tables),
// what a read carries (its context), reading a tile's stored bytes from the slide's source, and
// drawing a decoded tile, or part of one, into a buffer. Every pixel of a tile reaches its output
// through DrawTile.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "Common/Status.h"
#include "ColorCorrect/ColorTables.h"
#include "Common/Buffers.h"
#include "Common/Geometry.h"
#include "Common/Error.h"
#include "Common/PixelFormat.h"
#include "Core/ByteSource.h"
#include "Common/FileRecords.h"

namespace tarn {

struct PixelCache;

// How a slide's tiles are decoded.
enum class TileCodec { Jpeg, Hevc, None };
TileCodec CodecOf(uint32_t compressionType);

// One layer: its grid and its tile table (borrowed arrays of `tileCount` entries, at least
// columns x rows of them, indexed column + columns * row).
struct LayerTiles {
    LayerGeometry grid;
    uint32_t tileCount = 0;
    const uint64_t* offsets = nullptr;  // where each tile's bytes start
    const uint32_t* sizes = nullptr;    // stored bytes of each tile, a signed 32-bit value
};

// What reading tiles needs to know of a slide.
struct TileLayout {
    TileCodec codec = TileCodec::None;
    uint32_t tileWidth = 0;
    uint32_t tileHeight = 0;
    const LayerTiles* layers = nullptr;
    uint32_t layerCount = 0;
};

// Where tile (x, y) of a layer is stored; a size of 0 or less marks an empty tile.
struct StoredTile {
    uint64_t offset = 0;
    int32_t size = 0;
    bool empty() const { return size <= 0; }
};
StoredTile TileAt(const LayerTiles& layer, uint32_t x, uint32_t y);

// The first failure of one call, from whichever of its threads meets it first.
class CallFailure {
  public:
    // Records the failure unless one is recorded already.
    void Record(Status code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // The same for a codec's failure: `loud` carries its mark that the fixed interface prints it.
    void RecordCodec(Status code, bool loud, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    // Puts the printf-formatted text before the recorded message, when there is one: a caller
    // saying where the failure it passes on happened.
    void Prefix(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool failed() const { return failed_.load(std::memory_order_acquire); }
    // Valid once failed() is true; the record never changes afterwards (but for Prefix, which
    // the call's own thread uses once its reads are over).
    const Error& error() const { return error_; }
    Status code() const { return error_.status; }
    const char* message() const { return error_.text; }

  private:
    void RecordList(Status code, bool loud, const char* format, va_list arguments);

    std::mutex lock_;
    std::atomic<bool> failed_{false};
    Error error_;
};

// One read call: built once per call by an interface and passed down to every tile it reads.
struct ReadContext {
    const TileLayout* layout = nullptr;
    const ByteSource* source = nullptr;
    ColorLookup colors;              // the slide's table; empty: no pixels can be corrected
    PixelCache* cache = nullptr;     // null: tiles are read without a cache
    uint64_t sourceKey = 0;          // the source's identity (AcquireSourceKey); 0: none
    uint64_t colorTag = 0;           // the table's identity (ColorTagOf); 0: none
    CallFailure* failure = nullptr;  // where the call's first failure goes; may be null
    // Called with a codec's loud message each time a tile fails to decode; null: kept quiet.
    void (*echo)(const Error& message) = nullptr;
    // The read is one of overlapping neighbours asked for together (a viewer's Deep Zoom tiles):
    // a tile it takes at least half of is decoded whole and kept at once, since the neighbours
    // ask for the rest of it next; otherwise that tile would be decoded twice.
    bool neighboursFollow = false;

    const LayerTiles& layer(uint32_t index) const { return layout->layers[index]; }
};

// Reads a tile's stored bytes from the source. Status::Ok; Status::FileChanged (the source is not
// what was opened any more); Status::ShortRead (the bytes cannot all be read); Status::NoMemory.
// Failures are recorded in the context.
Status ReadStoredTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y,
                      const StoredTile& tile, ByteBuffer* bytes);

// The same into a new malloc'ed buffer handed to the caller.
Status ReadStoredTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y,
                      const StoredTile& tile, unsigned char** bytes);

// Draws the part `part` (tile coordinates) of tile (x, y) of `layer` into `dst`, where the part's
// top-left pixel goes, rows `dstStride` bytes apart, as corrected pixels in `format`. An empty
// tile is white (alpha 255) and not corrected. Status::Ok; the codes of ReadStoredTile;
// Status::Undecodable when the tile does not decode to the tile size, the slide's compression is
// not one of ours, or there is no colour table. Through the context's cache when it has one.
Status DrawTile(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y,
                const PixelRect& part, uint8_t* dst, size_t dstStride,
                PixelFormat format = PixelFormat::Bgr);

// The same for tile bytes already read (never an empty tile), without a cache.
Status DrawStoredTile(const ReadContext& read, const uint8_t* bytes, size_t size,
                      const PixelRect& part, uint8_t* dst, size_t dstStride,
                      PixelFormat format = PixelFormat::Bgr, Error* why = nullptr);

// Tells the source which stored tiles of `layer` the rectangle of tiles [firstColumn, lastColumn]
// x [firstRow, lastRow] will read, when the source takes such hints: the empty ones and those the
// cache holds are left out.
void HintTiles(const ReadContext& read, uint32_t layer, uint32_t firstColumn, uint32_t lastColumn,
               uint32_t firstRow, uint32_t lastRow);

// Fills a width x height rectangle with one corrected pixel (B | G << 8 | R << 16) in `format`.
void FillPixels(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height, uint32_t pixel,
                PixelFormat format = PixelFormat::Bgr);

// Fills a width x height rectangle with white: every byte 0xFF in every layout, alpha included.
void FillWhite(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height,
               PixelFormat format = PixelFormat::Bgr);

}  // namespace tarn
