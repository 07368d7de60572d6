// The shared path of every tile, region, block and layer read: handle checks, the tile table,
// reading a tile's stored bytes, and drawing a decoded tile (or part of one) into a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn.h"
#include "DecodeJpeg/JpegCodec.h"
#include "DecodeTarn/ZyCommon.h"

namespace tarn {

// Path, PicHead, SliceInfos and PicInfos are all set.
bool HandleComplete(const ZyTarnInfo* info);

// The layer index, compared unsigned so that negative indices fail.
bool LayerInRange(const ZyTarnInfo* info, int layer);

// Where tile (x, y) of a layer is stored; a size of 0 or less marks an empty tile.
struct StoredTile {
    uint64_t offset = 0;
    int32_t size = 0;
    bool empty() const { return size <= 0; }
};
StoredTile TileAt(const ZyTarnInfo* info, uint32_t layer, uint32_t x, uint32_t y);

// A malloc'ed buffer for tile bytes and pixels, whose sizes come from the slide: running out of
// memory is a failed call, never an exception through the C interface.
class ByteBuffer {
  public:
    ByteBuffer() = default;
    ~ByteBuffer() { free(data_); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Room for `size` bytes; earlier contents are not kept. False when memory runs out.
    bool Reserve(size_t size);
    // Gives the memory back when it is more than `keep` bytes, so that one huge tile does not stay
    // pinned to a thread.
    void Shrink(size_t keep);
    uint8_t* data() const { return data_; }

  private:
    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
};

// Reads a tile's stored bytes through a file opened for this read alone. ZY_E_SHORT_READ when
// the file can no longer be opened, the bytes run past its end (checked before allocating) or
// there is no memory for them.
int ReadStoredTile(const char* path, const StoredTile& tile, ByteBuffer* bytes);

// The same into a new malloc'ed buffer handed to the caller.
int ReadStoredTile(const char* path, const StoredTile& tile, unsigned char** bytes);

// Draws the part `part` (tile coordinates) of tile (x, y) of `layer` into `dst`, where the part's
// top-left pixel goes, rows `dstStride` bytes apart, as corrected blue-green-red pixels. An empty
// tile is white and not corrected. ZY_E_SHORT_READ for an unreadable file, ZY_E_DECODE when the
// tile does not decode to the tile size, the slide's compression is not one of ours, or there
// is no colour table.
int DrawTile(const ZyTarnInfo* info, const ColorLookup& colors, uint32_t layer, uint32_t x,
             uint32_t y, const PixelRect& part, uint8_t* dst, size_t dstStride);

// The same for tile bytes already read.
int DrawStoredTile(const ZyTarnInfo* info, const ColorLookup& colors, const uint8_t* bytes,
                   size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride);

// malloc for large pixel buffers handed to callers: asks for transparent huge pages, since
// faulting in 4 KiB pages costs about as much as decoding into them.
void* AllocatePixels(size_t bytes);

// Fills a width x height rectangle of 3-byte pixels with white.
void FillWhite(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height);

}  // namespace tarn
