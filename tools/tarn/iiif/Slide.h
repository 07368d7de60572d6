// What a slide offers an IIIF image service: its size, and the pictures it can be read from
// cheaply (stored levels and the coarse levels below them), finest first. Gathered once per open
// slide, so that the documents and the request planning below are pure functions of it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "iiif/Request.h"
#include "tarn.h"

namespace tarncli::iiif {

// One picture of the whole slide at a lower resolution.
struct Source {
    bool coarse = false;            // a coarse level (tarn_read_coarse_region) or a stored level
    int32_t level = 0;              // the stored level, or the coarse level from 1
    double downsample = 1;          // full-resolution pixels per pixel of this picture
    int64_t width = 0, height = 0;  // its size in its own pixels
    int64_t tileWidth = 0, tileHeight = 0;  // the blocks it is best read in
};

struct SlideFacts {
    int64_t width = 0, height = 0;          // full resolution: level 0
    int64_t tileWidth = 0, tileHeight = 0;  // the stored tiles
    std::vector<Source> sources;            // by growing downsample; level 0 first
    double mppX = 0, mppY = 0;              // micrometres per pixel; 0 when unknown
    double objectivePower = 0;              // 0 when unknown
};

// Coarse levels are kept, and so best read, in tiles of this side.
constexpr int64_t kCoarseTileSide = 256;

// Reads what the slide offers through tarn.h (cheap: no pixels are read, coarse levels are not
// built). False with the library's message when the slide cannot describe itself.
bool DescribeSlide(tarn_slide* slide, SlideFacts* facts, std::string* error);

// The scale factors whose tiles are read from a picture at exactly that scale: every power of two
// that is a source's downsample. Ascending.
std::vector<int64_t> ScaleFactors(const SlideFacts& facts);

// The tile size announced: the stored tiles' when they are at most 1024 pixels a side, else 512,
// held within `limits`.
std::pair<int64_t, int64_t> TileSize(const SlideFacts& facts, const Limits& limits);

// Whole-image sizes that are a source's own size (read without scaling), within `limits`. By
// growing width.
std::vector<std::pair<int64_t, int64_t>> CheapSizes(const SlideFacts& facts, const Limits& limits);

}  // namespace tarncli::iiif
