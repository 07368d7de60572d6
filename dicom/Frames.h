// A Tarn slide read through tarn.h into what the DICOM instances need: its description, and the
// JPEG frames of each instance. The converter and the server both read slides this way, so that
// their instances agree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dicom/Slide.h"
#include "tarn.h"

namespace tarn::dicom {

struct DescribeOptions {
    uint32_t tileSize = 256;
    int jpegQuality = 90;
    // Micrometres per pixel of level 0 when the slide has none (or to override it); 0: the
    // slide's openslide.mpp-x and openslide.mpp-y.
    double mppOverride = 0;
    std::string metadataJson;
    bool newUids = false;
    // "YYYYMMDDHHMMSS" (UTC) for ContentDate/ContentTime; empty: the slide file's modification
    // time (`path` a local file), else the current time.
    std::string contentDatetime;
};

// The levels (every stored level, then the coarse levels below the coarsest down to the first
// that fits in one tile, then, past tarn.h's last, levels scaled down from it by 2, 4, ... until
// one fits: the pyramid of the export library's conversion plan), the pixel size, the associated
// images (label, macro as the overview, thumbnail), the identity (openslide.quickhash-1), the
// objective power and the library's version. `path` is the file the slide was opened from (for its
// modification time; NULL or a URL: none).
bool DescribeSlide(tarn_slide* slide, const char* path, const DescribeOptions& options,
                   SlideDescription* description, std::string* error);

// Encodes `width` x `height` RGB pixels (rows without gaps) as a baseline JPEG with 4:2:2 chroma
// (what YBR_FULL_422 means), at `quality`.
bool EncodeFrameJpeg(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
                     std::vector<uint8_t>* jpeg, std::string* error);

// RGB pixels (rows without gaps) of the `width` x `height` region at (x, y) of instance `index`'s
// total pixel matrix, read from `slide` (the one described): any region of a level (white past
// its picture), or an associated image whole (x = y = 0 and its size).
bool ReadInstancePixels(tarn_slide* slide, const PreparedSlide& prepared, size_t index, int64_t x,
                        int64_t y, uint32_t width, uint32_t height, std::vector<uint8_t>* rgb,
                        std::string* error);

// Frame `frame` of instance `index`, read from `slide` (the one described) and encoded at the
// description's quality: a level's tile (white past its picture), or the associated image.
bool ReadFrame(tarn_slide* slide, const PreparedSlide& prepared, size_t index, int64_t frame,
               std::vector<uint8_t>* jpeg, std::string* error);

}  // namespace tarn::dicom
