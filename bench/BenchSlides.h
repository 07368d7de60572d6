// Slides the benchmarks read, written once per run into a temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "TarnWriter.h"

namespace tarnbench {

// JPEG tiles of 256 x 256 at quality 75, tissue-like, `columns` x `rows` on layer 0, one more
// layer, label, macrograph and thumbnail.
struct BenchSlide {
    std::string path;
    tarnwriter::SlideSpec spec;
    tarnwriter::SlideFile file;
};

const BenchSlide& JpegSlide();    // 24 x 16 tiles
const BenchSlide& HevcSlide();    // 8 x 6 tiles, x265 defaults
const BenchSlide& ExportSlide();  // 64 x 48 tiles, for the batch export
// 8192 x 8192 pixels in six levels, a 400 x 400 label and an 800 x 400 macrograph: a slide as
// users open them, for the benchmarks of bench/users.
const BenchSlide& UsersSlide();

// Layer 0's picture of JpegSlide() as a JPEG-compressed pyramidal TIFF of 256 x 256 tiles at
// quality 75, written by libvips from the library's own pixels, for OpenSlide. Empty when that
// fails.
const std::string& PyramidTiff();
// The same of any slide's layer 0, into `tiff`; false when that fails.
bool WritePyramidTiff(const BenchSlide& slide, const std::string& tiff);

// Layer 0's picture size in pixels.
int64_t PictureWidth(const BenchSlide& slide);
int64_t PictureHeight(const BenchSlide& slide);

// The stored bytes of tile (x, y) of layer 0.
tarnwriter::Bytes StoredTile(const BenchSlide& slide, uint32_t x, uint32_t y);

// Removes the temporary directory at exit.
const std::string& BenchDirectory();

}  // namespace tarnbench
