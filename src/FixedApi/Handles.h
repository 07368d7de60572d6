// The fixed interface's handles over the core. A ZyTarnInfo that ZyOpenTarn returned is a view of
// a core slide: its records point into the slide's, and every read goes to the slide. A handle
// a caller built (or copied) has no slide: its reads go through a view made of its own records,
// reading whatever file stands at its Path, with the table ColorTable points at, uncached, as
// the fixed interface always read such handles.
#pragma once

#include <optional>
#include <vector>

#include "ColorCorrect/ColorTables.h"
#include "Core/Slide.h"
#include "Core/Tiles.h"
#include "DecodeTarn.h"

namespace tarn {

// The slide behind a handle ZyOpenTarn returned and ZyCloseTarn has not closed; null for any
// other handle. One lookup per call.
Slide* SlideOf(const ZyTarnInfo* info);

// What one fixed-interface call reads a handle through. Codec messages that the fixed interface
// prints are printed (see PrintLoud).
class FixedRead {
  public:
    explicit FixedRead(const ZyTarnInfo* info);
    ~FixedRead();
    FixedRead(const FixedRead&) = delete;
    FixedRead& operator=(const FixedRead&) = delete;

    // ZY_OK, or ZY_E_NULL for a null handle or one without Path, PicHead, PicInfos or SliceInfos
    // (or without the record or table of a layer); nothing else may be used then.
    int status() const { return status_; }
    const ReadContext& context() const { return read_; }
    const TileLayout& layout() const { return *read_.layout; }
    const CallFailure& failure() const { return failure_; }

  private:
    int status_ = ZY_E_NULL;
    Slide* slide_ = nullptr;
    PixelCache* cache_ = nullptr;
    std::optional<PinnedGlobalTable> global_;
    ByteSource path_;
    std::vector<LayerTiles> layers_;
    TileLayout layout_;
    CallFailure failure_;
    ReadContext read_;
};

// A tile address on a handle: ZY_OK, ZY_E_NULL, ZY_E_LAYER (compared unsigned, so negative layers
// fail) or ZY_E_TILE.
int CheckTileAddress(const FixedRead& read, int layer, int x, int y);

// A region request against the layer's grid: ZY_OK, ZY_E_LAYER or ZY_E_REGION. The region may
// reach past the grid's right and bottom edges; only its origin and size are compared.
int CheckRegion(const TileLayout& layout, int width, int height, uint32_t x, uint32_t y, int layer);

// ZyGetRoiRgbOfSpecifyLayer within one call's read.
int RegionPixels(const FixedRead& read, unsigned char** data, int width, int height, unsigned int x,
                 unsigned int y, int layer);

// ZyGetJpegSliceOfSpecifyLayer within one call's read.
int TileJpeg(const FixedRead& read, unsigned char** data, int* size, int layer, int x, int y);

// ZyGetRgbSliceOfSpecifyLayer.
int TilePixels(ZyTarnInfo* info, unsigned char** data, int layer, int x, int y);

// ZyGetMacrographInfoAndJpeg and ZyGetThumbnailInfoAndJpeg.
int StreamMacroRecords(FILE* stream, ZyMacrographInfo** records, unsigned char** jpegs);
int StreamThumbnail(FILE* stream, ZyPicInfo* thumb, int* width, int* height, unsigned char** data);

// DisposeMacroImageInfo, DisposeThumbImageInfo and DisposeSliceLayerInfo.
void ReleaseMacroImages(ZyImageInfo** pair);
void ReleaseThumbImage(ZyImageInfo* image);
void ReleaseLayerRecords(ZyPicInfo** picInfos, ZySliceInfo** sliceInfos, int count);

// ZyOpenTarn and ZyCloseTarn, for the batch export that opens a slide of its own.
ZyTarnInfo* OpenFixedSlide(const char* path);
void CloseFixedSlide(ZyTarnInfo* info);

// ZySpecifyLayerJpeg2Rgb on `threads` threads (the exported function uses the thread budget).
int DecodeWholeLayer(ZyTarnInfo* info, unsigned char** data, int* width, int* height, int layer,
                     int threads);

// Prints a codec's loud message on stderr, as the codecs of the fixed interface print theirs:
// the text and a line feed.
void PrintLoud(const Error& message);

}  // namespace tarn
