// BMP images held in memory: the exported reader of the documented interface, and the
// bounds-checked reader the slide's thumbnail goes through.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/FileRecords.h"

namespace tarn {

// Converts a complete BMP file image of exactly expectedWidth x expectedHeight pixels into a new
// malloc'ed buffer of 3-byte blue-green-red pixels, top row first. Only uncompressed bottom-up
// images of 24 or 32 bits per pixel whose pixel rows lie within `length` bytes are read; anything
// else returns false with `*pixels` untouched. As in GetRgb24FromBmp the file header is not read;
// the pixel array follows the information header, whatever that header's length.
bool ReadBmpBgr(const uint8_t* data, size_t length, uint32_t expectedWidth, uint32_t expectedHeight,
                uint8_t** pixels);

// The documented reader behind GetRgb24FromBmp: the image at bmpData (a BMP file image, file
// header first) as 3-byte blue-green-red pixels, top row first, in a new malloc'ed buffer, its
// information header copied to *bmpInfo. Null for headers whose layout cannot be computed or
// gives fewer than 3 bytes per pixel, or when memory runs out.
unsigned char* ReadBmpAsDocumented(const unsigned char* bmpData, BmpHeader* bmpInfo);

}  // namespace tarn
