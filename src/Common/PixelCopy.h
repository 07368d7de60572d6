// Copying 3-byte blue-green-red pixels into a buffer in any of the library's layouts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/PixelFormat.h"

namespace tarn {

// Copies a width x height rectangle of blue-green-red pixels (rows `srcStride` bytes apart) into
// `dst` (rows `dstStride` bytes apart) in `format`: a plain copy for BGR, the red and blue bytes
// swapped for RGB and RGBA, alpha 255 in the four-byte layouts. Nothing outside the rectangle is
// read or written.
void CopyBgrPixels(const uint8_t* src, size_t srcStride, uint32_t width, uint32_t height,
                   uint8_t* dst, size_t dstStride, PixelFormat format);

}  // namespace tarn
