// Levels: the slide's layers as pictures (each layer's grid less its bound area), with their
// downsamples as OpenSlide defines them, and the conversion of level-0 coordinates into a
// level's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/Slide.h"

namespace tarn {

// One level: a layer's picture (its grid less the bound area) and how many level-0 pixels one
// of its pixels spans.
struct Level {
    int64_t width = 0;
    int64_t height = 0;
    double downsample = 1;
    int64_t tileWidth = 0;
    int64_t tileHeight = 0;
};

// The box of level 0, in level-0 pixels, that holds every stored tile.
struct Bounds {
    int64_t x = 0;
    int64_t y = 0;
    int64_t width = 0;
    int64_t height = 0;
};

// The levels of a slide. False, with the reason in `*why`, when a layer has no picture (a bound
// area as large as its grid or larger): its size and downsample would mean nothing.
bool MeasureLevels(const Slide& slide, std::vector<Level>* levels, std::string* why);

// The downsample of a level of width x height below a level 0 of width0 x height0: ratio^k when
// that agrees with the sizes within a pixel, else the mean of the measured width and height
// ratios (OpenSlide's rule for formats that do not state their downsamples).
double LevelDownsample(double ratio, int k, int64_t width0, int64_t height0, int64_t width,
                       int64_t height);

// OpenSlide's choice: the level with the largest downsample not above `downsample`, 0 when every
// level's is above it.
int32_t BestLevelFor(const std::vector<Level>& levels, double downsample);

// Level-0 coordinate `v` in pixels of a level of `downsample`: divided, rounded down.
int64_t ToLevel(int64_t v, double downsample);

// The tile-granular box of level 0 that holds every stored (non-empty) tile, clipped to the
// picture; none when no tile is stored inside the picture.
std::optional<Bounds> StoredTileBounds(const Slide& slide, const Level& level0);

}  // namespace tarn
