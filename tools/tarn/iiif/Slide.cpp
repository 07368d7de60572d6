#include "iiif/Slide.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace tarncli::iiif {

namespace {

// A positive number property, or 0 when it is absent or not one.
double NumberProperty(tarn_slide* slide, const char* name) {
    const char* text = tarn_get_property_value(slide, name);
    if (text == nullptr) return 0;
    double value = 0;
    const char* end = text + strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    return error == std::errc() && stop == end && std::isfinite(value) && value > 0 ? value : 0;
}

// The power of two that `downsample` is exactly, or 0.
int64_t PowerOfTwo(double downsample) {
    for (int k = 0; k < 40; ++k)
        if (downsample == std::ldexp(1.0, k)) return int64_t{1} << k;
    return 0;
}

std::string Failure(tarn_slide* slide, const char* what) {
    const char* why = tarn_get_error(slide);
    return std::string(what) + (why != nullptr ? std::string(": ") + why : std::string());
}

}  // namespace

bool DescribeSlide(tarn_slide* slide, SlideFacts* facts, std::string* error) {
    *facts = SlideFacts{};
    const int32_t levels = tarn_get_level_count(slide);
    tarn_get_level0_dimensions(slide, &facts->width, &facts->height);
    int64_t columns = 0, rows = 0;
    if (levels < 1 || facts->width < 1 || facts->height < 1 ||
        tarn_get_level_tile_grid(slide, 0, &facts->tileWidth, &facts->tileHeight, &columns,
                                 &rows) != 0) {
        *error = Failure(slide, "cannot read the slide's levels");
        return false;
    }
    for (int32_t level = 0; level < levels; ++level) {
        Source source;
        source.level = level;
        source.downsample = tarn_get_level_downsample(slide, level);
        tarn_get_level_dimensions(slide, level, &source.width, &source.height);
        source.tileWidth = facts->tileWidth;
        source.tileHeight = facts->tileHeight;
        // Levels out of order or of no size would only confuse the choice of source.
        if (source.width < 1 || source.height < 1 || !(source.downsample >= 1) ||
            (!facts->sources.empty() && source.downsample <= facts->sources.back().downsample))
            continue;
        facts->sources.push_back(source);
    }
    if (facts->sources.empty() || facts->sources[0].level != 0) {
        *error = "the slide's first level cannot be read";
        return false;
    }
    const double coarsest = facts->sources.back().downsample;
    const int32_t coarseLevels = tarn_get_coarse_level_count(slide);
    for (int32_t level = 1; level <= coarseLevels && level < 40; ++level) {
        Source source;
        source.coarse = true;
        source.level = level;
        source.downsample = std::ldexp(coarsest, level);
        tarn_get_coarse_level_dimensions(slide, level, &source.width, &source.height);
        source.tileWidth = source.tileHeight = kCoarseTileSide;
        if (source.width < 1 || source.height < 1) break;
        facts->sources.push_back(source);
    }
    facts->mppX = NumberProperty(slide, TARN_PROPERTY_NAME_MPP_X);
    facts->mppY = NumberProperty(slide, TARN_PROPERTY_NAME_MPP_Y);
    facts->objectivePower = NumberProperty(slide, TARN_PROPERTY_NAME_OBJECTIVE_POWER);
    return true;
}

std::vector<int64_t> ScaleFactors(const SlideFacts& facts) {
    std::vector<int64_t> factors;
    for (const Source& source : facts.sources)
        if (const int64_t factor = PowerOfTwo(source.downsample)) factors.push_back(factor);
    std::sort(factors.begin(), factors.end());
    factors.erase(std::unique(factors.begin(), factors.end()), factors.end());
    return factors;
}

std::pair<int64_t, int64_t> TileSize(const SlideFacts& facts, const Limits& limits) {
    const bool stored = facts.tileWidth >= 1 && facts.tileWidth <= 1024 && facts.tileHeight >= 1 &&
                        facts.tileHeight <= 1024;
    int64_t width = std::min(stored ? facts.tileWidth : 512, limits.maxWidth);
    int64_t height = std::min(stored ? facts.tileHeight : 512, limits.maxHeight);
    while (width * height > limits.maxArea && (width > 1 || height > 1)) {
        if (width >= height) {
            width = (width + 1) / 2;
        } else {
            height = (height + 1) / 2;
        }
    }
    return {width, height};
}

std::vector<std::pair<int64_t, int64_t>> CheapSizes(const SlideFacts& facts, const Limits& limits) {
    std::vector<std::pair<int64_t, int64_t>> sizes;
    for (const Source& source : facts.sources)
        if (source.width <= limits.maxWidth && source.height <= limits.maxHeight &&
            source.width * source.height <= limits.maxArea)
            sizes.emplace_back(source.width, source.height);
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return sizes;
}

}  // namespace tarncli::iiif
