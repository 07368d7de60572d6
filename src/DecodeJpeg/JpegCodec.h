// JPEG through libjpeg-turbo, in memory. Only the codec sources include libjpeg's decoder
// internals; everything else asks for "these pixels of this tile".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE

#include <jpeglib.h>

#include "ColorCorrect/ColorTables.h"
#include "Common/Buffers.h"
#include "Common/Error.h"
#include "Common/Geometry.h"
#include "Common/PixelFormat.h"
#include "Common/Status.h"

namespace tarn {

// Decodes a JPEG that must be exactly width x height into 3-byte blue-green-red pixels in
// `scratch` (room for the whole image, rows `scratchStride` bytes apart, scratchStride >=
// width * 3), and corrects the pixels of `needed` (clipped to the image; an empty rectangle means
// the whole image) through `lookup` into `dst` in `format`, the rectangle's top-left pixel first,
// rows `dstStride` bytes apart. At least the pixels of `needed` are decoded into `scratch`,
// byte-identical to a full decode; the codec skips what it can of the rest, whose bytes may be left
// as they were or hold raw pixels. An empty `lookup` corrects nothing (dst may then be null).
// Returns false, with the reason in `*why` when given, when the stream does not decode (libjpeg's
// message, marked loud) or has another size (refused after the header, before any pixel is
// decoded).
//
// Rows below `needed` are never read, so damage that lies only there goes unnoticed: the pixels
// asked for are complete and correct, which is all the caller uses. Rows above and columns beside
// `needed` are still entropy-decoded (a Huffman stream cannot be skipped otherwise), so damage
// there affects the result exactly as in a full decode.
bool DecodeJpegTile(const uint8_t* jpeg, size_t length, uint32_t width, uint32_t height,
                    const PixelRect& needed, uint8_t* scratch, size_t scratchStride,
                    const ColorLookup& lookup, uint8_t* dst, size_t dstStride, PixelFormat format,
                    Error* why = nullptr);

// DecodeJpegTile with its scratch in `scratch`, made big enough for the whole tile only once the
// JPEG's header shows it is width x height: a header that promises huge tiles costs nothing for a
// stored tile of another size. Status::Ok; Status::Undecodable where DecodeJpegTile is false;
// Status::NoMemory when the scratch cannot grow.
Status DecodeJpegTile(const uint8_t* jpeg, size_t length, uint32_t width, uint32_t height,
                      const PixelRect& needed, ByteBuffer& scratch, const ColorLookup& lookup,
                      uint8_t* dst, size_t dstStride, PixelFormat format, Error* why = nullptr);

// DecodeJpegTile without correction: the raw pixels of (at least) `needed` in `out`.
bool DecodeJpegBgr(const uint8_t* jpeg, size_t length, uint32_t width, uint32_t height,
                   const PixelRect& needed, uint8_t* out, size_t stride, Error* why = nullptr);

// Decodes a whole JPEG of any size into a new malloc'ed buffer in `space`, corrected through
// `lookup` (bytes 0, 1, 2 of each pixel read as blue, green, red; 4-byte pixels get 255 in their
// fourth byte). The result is the byte size, or 0 on failure with `*pixels` untouched: a fatal
// libjpeg error (its message in `*why`, loud), an output whose pixels are not 3 or 4 bytes, a byte
// count that does not fit an int, or, with expectedWidth/Height nonzero, another size (refused
// before decoding). An empty `lookup` gives the size with `*pixels` set to null.
int DecodeJpegCorrected(const uint8_t* jpeg, size_t length, J_COLOR_SPACE space,
                        const ColorLookup& lookup, uint32_t expectedWidth, uint32_t expectedHeight,
                        unsigned char** pixels, Error* why = nullptr);

// JPEG of width x height pixels in `space` with `channels` bytes each (libjpeg's defaults for that
// input, baseline). The length, with the new malloc'ed stream in `*jpeg`; 0 on failure, with
// nothing allocated and `*jpeg` untouched (libjpeg's message in `*why`).
int EncodeJpeg(const uint8_t* pixels, uint32_t width, uint32_t height, int quality,
               J_COLOR_SPACE space, int channels, unsigned char** jpeg, Error* why = nullptr);

// Bytes per pixel of a libjpeg colour space the codec accepts (3 or 4), or -1 for every other
// number.
int ColorSpaceChannels(int space);

// The largest width or height a JPEG can have (libjpeg's limit).
constexpr uint32_t kMaxJpegSide = 65500;

// EncodeJpeg of blue-green-red pixels (JCS_EXT_BGR).
int EncodeJpegBgr(const uint8_t* pixels, uint32_t width, uint32_t height, int quality,
                  unsigned char** jpeg, Error* why = nullptr);

}  // namespace tarn
