// The one filter Deep Zoom tiles are scaled with: a box filter (area average). Each output pixel
// is the mean of the source area it covers, each source pixel weighted by how much of it lies in
// that area. Chosen because the usual step between Deep Zoom levels and slide levels is exactly 2,
// where it is the exact mean of 2 x 2 pixels (what the slide's own layers are made of); it has no
// ringing or overshoot at the sharp edges of tissue against glass, never reaches outside the area
// read, and costs a few operations per pixel. It stays the filter: tiles must not change between
// releases, since viewers and tile caches keep them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tarn {

// Which source pixels an output pixel covers along one axis, and with what weights (summing
// to 1).
struct BoxTaps {
    std::vector<uint32_t> first;  // per output pixel
    std::vector<uint32_t> count;  // per output pixel
    std::vector<uint32_t> start;  // per output pixel: its weights' index in `weight`
    std::vector<float> weight;
};
BoxTaps BoxTapsFor(uint32_t in, uint32_t out);

// ScaleBox over a source read a piece at a time, so that memory stays bounded whatever the
// source's size. The source is read in bands of rows, top to bottom; each band in blocks of
// columns, left to right. The result is exactly ScaleBox's.
class BoxScaler {
  public:
    // `read(column, row, columns, rows, out)` delivers that block of 3-byte source pixels into
    // `out` (rows without gaps); false stops the scaling.
    using Reader = std::function<bool(uint32_t, uint32_t, uint32_t, uint32_t, uint8_t*)>;

    BoxScaler(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight);
    // Scales into `dst` (dstBytes per pixel as ScaleBox), reading blocks of at most `maxBlockBytes`
    // (but at least one output pixel's worth). False when a read failed.
    bool Run(const Reader& read, uint8_t* dst, int dstBytes, size_t maxBlockBytes) const;

  private:
    uint32_t srcWidth_, srcHeight_, dstWidth_, dstHeight_;
    BoxTaps across_, down_;
};

// Scales srcWidth x srcHeight 3-byte pixels (rows without gaps) to dstWidth x dstHeight pixels
// of `dstBytes` bytes (3, or 4 with 255 in the fourth), rows without gaps. The three channels
// keep their order. Rounds to nearest, halves up. Sizes of at least 1.
void ScaleBox(const uint8_t* src, uint32_t srcWidth, uint32_t srcHeight, uint8_t* dst,
              uint32_t dstWidth, uint32_t dstHeight, int dstBytes);

}  // namespace tarn
