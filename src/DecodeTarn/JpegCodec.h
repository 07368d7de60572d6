// JPEG through libjpeg-turbo, in memory. Only the codec sources include libjpeg's decoder
// internals; everything else asks for "these pixels of this tile".
#pragma once

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn.h"

namespace tarn {

// A rectangle in pixels of an image.
struct PixelRect {
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Decodes a JPEG that must be exactly width x height into 3-byte blue-green-red pixels, without
// colour correction. `out` has room for the whole image with rows `stride` bytes apart; at least
// the pixels of `needed` are written (the codec may skip the rest). Returns false, with libjpeg's
// message on stderr, when the stream does not decode or has another size.
bool DecodeJpegBgr(const uint8_t* jpeg, size_t length, uint32_t width, uint32_t height,
                   const PixelRect& needed, uint8_t* out, size_t stride);

// Decodes a whole JPEG of any size into a new malloc'ed buffer in `space`, corrected through
// `lookup`; the result is the byte size, or 0 on failure. Sizes whose byte count does not fit an
// int are refused. With expectedWidth/Height nonzero, other sizes are refused before decoding.
int DecodeJpegCorrected(const uint8_t* jpeg, size_t length, J_COLOR_SPACE space,
                        const ColorLookup& lookup, uint32_t expectedWidth, uint32_t expectedHeight,
                        unsigned char** pixels);

// Quality-75 JPEG of width x height blue-green-red pixels; the length, or 0 on failure (nothing
// allocated then).
int EncodeJpegBgr(const uint8_t* pixels, uint32_t width, uint32_t height, int quality,
                  unsigned char** jpeg);

}  // namespace tarn
