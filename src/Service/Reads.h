// The read service: every read of a slide's pixels and tiles that the two interfaces make, in the
// pixels of the level read. The interfaces check their callers' arguments and say what a failure
// means to them; the service does the reading, through one read context per call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/Status.h"
#include "Common/PixelFormat.h"
#include "Core/Slide.h"
#include "Core/Tiles.h"

namespace tarn {

// One read on a slide the library opened: the call's read context through the slide's tile
// cache, recording the call's first failure.
class SlideReader {
  public:
    explicit SlideReader(Slide& slide);
    ~SlideReader();
    SlideReader(const SlideReader&) = delete;
    SlideReader& operator=(const SlideReader&) = delete;

    const ReadContext& context() const { return read_; }
    // Why the read failed, in words.
    const char* why() const { return failure_.failed() ? failure_.message() : "unknown failure"; }

  private:
    PixelCache* cache_;
    CallFailure failure_;
    ReadContext read_;
};

// What a read draws from tiles, and what it fills the rest with. Grid: the layer's whole tile grid
// (bound area included), white beyond it in every byte, alpha too (the fixed interface's
// regions). Picture: the grid less its bound area; beyond it transparent in layouts with alpha,
// white in the others (tarn.h's regions). PictureOnWhite: the picture, opaque white beyond it
// (Deep Zoom tiles).
enum class Extent { Grid, Picture, PictureOnWhite };

// A rectangle of a buffer, in pixels.
struct Area {
    uint64_t left = 0, top = 0, width = 0, height = 0;
};

// Fills the width x height pixels at `dst` (rows `stride` bytes apart) in `format`, all but
// `inside`, with what lies beyond the extent: the one place that paints where there is no
// picture.
void FillBeyond(uint8_t* dst, size_t stride, uint64_t width, uint64_t height, const Area& inside,
                Extent extent, PixelFormat format);

// Pixels (x, y, width, height) of `level` (in its pixels, anywhere, outside the extent too) into
// `dst`, rows `stride` bytes apart, in `format`. Status::Ok, or the code of the first tile that
// failed (DrawTile's), recorded in the context. `level` must exist.
Status ReadArea(const ReadContext& read, uint32_t level, int64_t x, int64_t y, int64_t width,
                int64_t height, Extent extent, uint8_t* dst, size_t stride,
                PixelFormat format = PixelFormat::Bgr);

// ReadArea of the picture, whose failures say where: "cannot read level L at (x, y): ...".
Status ReadPicture(const ReadContext& read, uint32_t level, int64_t x, int64_t y, int64_t width,
                   int64_t height, uint8_t* dst, size_t stride, PixelFormat format,
                   Extent extent = Extent::Picture);

// Tile (x, y) of `level` as stored, into a new malloc'ed buffer (the caller's), with its size;
// null and 0 for a tile the file does not hold. Status::Ok or ReadStoredTile's codes. The address
// must be inside the grid.
Status ReadTileBytes(const ReadContext& read, uint32_t level, uint32_t x, uint32_t y,
                     unsigned char** data, size_t* size);

// Tile (x, y) of `level` decoded whole into `dst` (DrawTile's codes).
Status ReadTilePixels(const ReadContext& read, uint32_t level, uint32_t x, uint32_t y, uint8_t* dst,
                      size_t stride, PixelFormat format);

// The quality of exported JPEGs: regions of the fixed interface, its batch export's files and
// tarn.h's export tiles are one and the same JPEG.
inline constexpr int kExportQuality = 75;

// The width x height rectangle at (x, y) of `level`'s grid (white beyond it) as the export JPEG,
// a new malloc'ed stream (the caller's) and its length. Sizes of 1 to kMaxJpegSide, origin inside
// the grid. Status::Ok; ReadArea's codes; Status::NoMemory; Status::EncodeFailed when the encoder
// fails.
Status ExportJpeg(const ReadContext& read, uint32_t level, uint32_t x, uint32_t y, uint32_t width,
                  uint32_t height, unsigned char** jpeg, int* size);

}  // namespace tarn
