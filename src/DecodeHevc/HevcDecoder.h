// HEVC tiles through libavcodec. Only the HEVC sources include libavcodec.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn.h"

namespace tarn {

// Planes of an 8-bit 4:2:0 picture: luma width x height, chroma (width + 1) / 2 x (height + 1) / 2.
struct YuvView {
    const uint8_t* plane[3] = {nullptr, nullptr, nullptr};
    int stride[3] = {0, 0, 0};
    int width = 0;
    int height = 0;
};

// Decodes one tile stream that must hold exactly one width x height 8-bit 4:2:0 picture. On
// success `picture` views planes owned by the calling thread's decoder, valid until that thread's
// next decode. Returns false on any failure, or when the picture has another size or format.
bool DecodeHevcPicture(const uint8_t* stream, size_t length, int width, int height,
                       YuvView* picture);

// Converts the rectangle (x, y, width, height) of a picture with the integer BT.601 formula and
// corrects it through `lookup` into `dst`, whose rows are `dstStride` bytes apart, in the byte
// layout of `space` (3 or 4 bytes per pixel, alpha 255).
void ConvertYuvRect(const YuvView& picture, const ColorLookup& lookup, int x, int y, int width,
                    int height, _ColorSpace space, uint8_t* dst, size_t dstStride);

// Bytes per pixel of an output layout.
int BytesPerPixel(_ColorSpace space);

}  // namespace tarn
