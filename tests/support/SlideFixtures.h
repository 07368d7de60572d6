// Slides shared by the tile, region and export tests, written once per test process.
#pragma once

#include <string>

#include "TarnWriter.h"

namespace tarntest {

// JPEG tiles of 128 x 96, 4 x 3 tiles on layer 0 with tiles 5 and 10 empty, a second layer of
// 2 x 2, visible colour correction (so corrected white differs from white).
const std::string& JpegSlidePath();
const tarnwriter::SlideFile& JpegSlide();

// HEVC tiles of 96 x 64 (x265 defaults, or intra-only), 3 x 2 tiles with tile 4 empty.
const std::string& HevcSlidePath(bool allIntra);
const tarnwriter::SlideFile& HevcSlide(bool allIntra);

// The bytes of `slide` with layer 0's tile `index` overwritten by zeros (at most its first 64
// bytes), so that it no longer decodes.
tarnwriter::Bytes WithBrokenTile(const tarnwriter::SlideFile& slide, uint32_t index);

// Records back to back: a label of 1000 bytes, a macrograph of 3000, a thumbnail of 5000 and one
// layer of 3 x 2 tiles sized 100, 0, 250, 80, 0, 90. None of the stored bytes is an image.
tarnwriter::SlideSpec WorkedExampleSpec();

// The colour parameters both use.
void ApplyTestColours(tarnwriter::SlideSpec* spec);

}  // namespace tarntest
