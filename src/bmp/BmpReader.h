// BMP images held in memory: the exported reader of the documented interface, and the
// bounds-checked reader the slide's thumbnail goes through.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn {

// Converts a complete BMP file image of exactly expectedWidth x expectedHeight pixels into a new
// malloc'ed buffer of 3-byte blue-green-red pixels, top row first. Only uncompressed bottom-up
// images of 24 or 32 bits per pixel whose pixel rows lie within `length` bytes are read; anything
// else returns false with `*pixels` untouched. As in GetRgb24FromBmp the file header is not read;
// the pixel array follows the information header, whatever that header's length.
bool ReadBmpBgr(const uint8_t* data, size_t length, uint32_t expectedWidth, uint32_t expectedHeight,
                uint8_t** pixels);

}  // namespace tarn
