// The one filter Deep Zoom tiles are scaled with: a box filter (area average). Each output pixel
// is the mean of the source area it covers, each source pixel weighted by how much of it lies in
// that area. Chosen because the usual step between Deep Zoom levels and slide levels is exactly 2,
// where it is the exact mean of 2 x 2 pixels (what the slide's own layers are made of); it has no
// ringing or overshoot at the sharp edges of tissue against glass, never reaches outside the area
// read, and costs a few operations per pixel. It stays the filter: tiles must not change between
// releases, since viewers and tile caches keep them.
#pragma once

#include <cstdint>

namespace tarn {

// Scales srcWidth x srcHeight 3-byte pixels (rows without gaps) to dstWidth x dstHeight pixels
// of `dstBytes` bytes (3, or 4 with 255 in the fourth), rows without gaps. The three channels
// keep their order. Rounds to nearest, halves up. Sizes of at least 1.
void ScaleBox(const uint8_t* src, uint32_t srcWidth, uint32_t srcHeight, uint8_t* dst,
              uint32_t dstWidth, uint32_t dstHeight, int dstBytes);

}  // namespace tarn
