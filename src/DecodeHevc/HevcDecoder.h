// HEVC tiles through libavcodec. Only the HEVC sources include libavcodec.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorTables.h"
#include "Common/Error.h"

namespace tarn {

// The packed layouts HEVC pictures are converted to (the numbers are the fixed interface's
// PackedLayout values, FixedApi/Codecs.cpp).
enum class PackedLayout { Rgb24 = 2, Bgr24 = 3, Argb = 25, Rgba = 26, Abgr = 27, Bgra = 28 };

// Planes of an 8-bit 4:2:0 picture: luma width x height, chroma (width + 1) / 2 x (height + 1) / 2.
struct YuvView {
    const uint8_t* plane[3] = {nullptr, nullptr, nullptr};
    int stride[3] = {0, 0, 0};
    int width = 0;
    int height = 0;
};

// Decodes one tile stream that must hold one width x height 8-bit 4:2:0 picture (the first
// picture is taken). On success `picture` views planes owned by the calling thread's decoder,
// valid until that thread's next decode. Returns false on any failure, or when the picture has
// another size or format, with the reason in `*why` when given (loud when the decoder cannot be
// set up at all). HEVC cannot code an odd 4:2:0 picture size, so for an odd width or
// height a picture one sample larger in that direction (the writer's edge padding) is accepted and
// `picture` views its top-left width x height part.
bool DecodeHevcPicture(const uint8_t* stream, size_t length, int width, int height,
                       YuvView* picture, Error* why = nullptr);

// Converts the rectangle (x, y, width, height) of a picture with the integer BT.601 formula and
// corrects it through `lookup` into `dst`, whose rows are `dstStride` bytes apart, in the byte
// layout of `space` (3 or 4 bytes per pixel, alpha 255). Writes nothing for a rectangle that is
// empty or not inside the picture, or for an empty lookup.
void ConvertYuvRect(const YuvView& picture, const ColorLookup& lookup, int x, int y, int width,
                    int height, PackedLayout space, uint8_t* dst, size_t dstStride);

// The layout a caller's number stands for: the named ones as they are, every other number
// (Rgba included) red, green, blue, alpha.
PackedLayout KnownLayout(int space);

// Bytes per pixel of an output layout.
int BytesPerPixel(PackedLayout space);

// width x height x bytes per pixel, when both sizes are positive and the product fits in an int.
bool PackedImageBytes(int width, int height, PackedLayout space, int* bytes);

// The planes of a gapless planar 4:2:0 buffer: luma, then U, then V.
YuvView PlanarYuvView(const uint8_t* yuv, int width, int height);

}  // namespace tarn
