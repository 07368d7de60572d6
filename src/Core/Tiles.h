// The shared path of every tile, region, block and layer read: handle checks, the tile table,
// reading a tile's stored bytes from the file the slide was opened from, and drawing a decoded
// tile (or part of one) into a buffer. Every pixel of a tile reaches its output through DrawTile.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorTables.h"
#include "Common/Buffers.h"
#include "Common/FileAccess.h"
#include "Common/Geometry.h"
#include "Common/PixelFormat.h"
#include "DecodeTarn.h"

namespace tarn {

struct TileCache;

// Path, PicHead, SliceInfos and PicInfos are all set.
bool HandleComplete(const ZyTarnInfo* info);

// The layer index, compared unsigned so that negative indices fail.
bool LayerInRange(const ZyTarnInfo* info, int layer);

// A tile address: ZY_OK, ZY_E_NULL, ZY_E_LAYER or ZY_E_TILE.
int CheckTileAddress(const ZyTarnInfo* info, int layer, int x, int y);

// The geometry of a layer of a complete handle.
LayerGeometry LayerOf(const ZyTarnInfo* info, uint32_t layer);

// How the slide's tiles are decoded: the one place that reads CompressionType for pixels.
enum class TileCodec { Jpeg, Hevc, None };
TileCodec CodecOf(const ZyPicHead& head);

// Where tile (x, y) of a layer is stored; a size of 0 or less marks an empty tile.
struct StoredTile {
    uint64_t offset = 0;
    int32_t size = 0;
    bool empty() const { return size <= 0; }
};
StoredTile TileAt(const ZyTarnInfo* info, uint32_t layer, uint32_t x, uint32_t y);

// Where a slide's tile bytes come from: the path resolved at open and the identity of the file
// opened, for a slide the library opened; the handle's Path, unchecked, for one it did not. Only
// the tiles of the former are cached: they are known to come from one file, in known colours.
struct TileSource {
    const char* path = nullptr;
    const FileIdentity* identity = nullptr;  // null: any regular file at `path` will do
    uint64_t colorTag = 0;                   // the slide table's tag, with an identity
};
TileSource SourceOf(const ZyTarnInfo* info);

// Whether the slide's file can be read now: ZY_OK, or kFileChanged when it is gone, replaced or
// not a regular file.
int CheckSource(const TileSource& source);

// Reads a tile's stored bytes through a file opened for this read alone. ZY_OK; kFileChanged
// (see CheckSource); ZY_E_SHORT_READ when the bytes run past the end of the file (checked before
// allocating) or cannot all be read; kNoMemory.
int ReadStoredTile(const TileSource& source, const StoredTile& tile, ByteBuffer* bytes);

// The same into a new malloc'ed buffer handed to the caller.
int ReadStoredTile(const TileSource& source, const StoredTile& tile, unsigned char** bytes);

// Draws the part `part` (tile coordinates) of tile (x, y) of `layer` into `dst`, where the part's
// top-left pixel goes, rows `dstStride` bytes apart, as corrected pixels in `format`. An empty
// tile is white (alpha 255) and not corrected. ZY_OK; the codes of ReadStoredTile; ZY_E_DECODE
// when the tile does not decode to the tile size, the slide's compression is not one of ours, or
// there is no colour table. Tiles of a slide the library opened are read through `cache` (null:
// the process's default cache), which a second touch of a tile fills.
int DrawTile(const ZyTarnInfo* info, const ColorLookup& colors, uint32_t layer, uint32_t x,
             uint32_t y, const PixelRect& part, uint8_t* dst, size_t dstStride,
             PixelFormat format = PixelFormat::Bgr, TileCache* cache = nullptr);

// The same for tile bytes already read (never an empty tile).
int DrawStoredTile(const ZyTarnInfo* info, const ColorLookup& colors, const uint8_t* bytes,
                   size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride,
                   PixelFormat format = PixelFormat::Bgr);

// Fills a width x height rectangle with one corrected pixel (B | G << 8 | R << 16) in `format`.
void FillPixels(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height, uint32_t pixel,
                PixelFormat format = PixelFormat::Bgr);

// Fills a width x height rectangle with white: every byte 0xFF in every layout, alpha included.
void FillWhite(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height,
               PixelFormat format = PixelFormat::Bgr);

}  // namespace tarn
