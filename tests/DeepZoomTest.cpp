// Deep Zoom geometry on hand-worked cases (the numbers OpenSlide's DeepZoomGenerator gives for
// the same slide shapes), the box filter, and the level arithmetic beneath both.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <limits>
#include <vector>

#include "Service/BoxFilter.h"
#include "TarnWriter.h"
#include "support/TestFiles.h"
#include "tarn.h"
#include "Service/DeepZoomGeometry.h"
#include "Service/Levels.h"

namespace {

using tarn::Bounds;
using tarn::Level;

std::vector<Level> Levels(std::initializer_list<std::pair<int64_t, int64_t>> sizes,
                          std::initializer_list<double> downsamples) {
    std::vector<Level> levels;
    auto ds = downsamples.begin();
    for (const auto& [w, h] : sizes)
        levels.push_back({w, h, *ds++, 256, 256});
    return levels;
}

void ExpectTile(const tarn::DeepZoomPlan& plan, int32_t level, int64_t col, int64_t row,
                const tarn_deepzoom_tile& expected) {
    tarn::DeepZoomTile tile;
    ASSERT_TRUE(tarn::DeepZoomTileOf(plan, level, col, row, &tile));
    EXPECT_EQ(tile.x, expected.x);
    EXPECT_EQ(tile.y, expected.y);
    EXPECT_EQ(tile.level, expected.level);
    EXPECT_EQ(tile.width, expected.width);
    EXPECT_EQ(tile.height, expected.height);
    EXPECT_EQ(tile.tileWidth, expected.tile_width);
    EXPECT_EQ(tile.tileHeight, expected.tile_height);
}

TEST(DeepZoomGeometry, OverlapOneOnTheWholeSlide) {
    // 1000 x 700 over 500 x 350: halving to 1 x 1 takes ten steps.
    const auto plan =
        tarn::PlanDeepZoom(Levels({{1000, 700}, {500, 350}}, {1, 2}), std::nullopt, 254, 1, false);
    ASSERT_EQ(plan.levels.size(), 11U);
    const std::pair<int64_t, int64_t> sizes[] = {{1, 1},     {2, 2},     {4, 3},     {8, 6},
                                                 {16, 11},   {32, 22},   {63, 44},   {125, 88},
                                                 {250, 175}, {500, 350}, {1000, 700}};
    for (size_t k = 0; k < 11; ++k) {
        EXPECT_EQ(plan.levels[k].width, sizes[k].first) << k;
        EXPECT_EQ(plan.levels[k].height, sizes[k].second) << k;
    }
    EXPECT_EQ(plan.levels[10].columns, 4);
    EXPECT_EQ(plan.levels[10].rows, 3);
    EXPECT_EQ(plan.tileCount, 9 + 2 * 2 + 4 * 3);
    // An inner tile: 254 plus one pixel on each side, from one pixel before its place.
    ExpectTile(plan, 10, 1, 1, {253, 253, 0, 256, 256, 256, 256});
    // The last column and row of level 9 (slide level 1): overlap only before, the rest of the
    // picture after; level-0 position twice the level's.
    ExpectTile(plan, 9, 1, 1, {506, 506, 1, 247, 97, 247, 97});
    // Level 8 reads all of slide level 1 and halves it; level 0 squeezes it into one pixel.
    ExpectTile(plan, 8, 0, 0, {0, 0, 1, 500, 350, 250, 175});
    ExpectTile(plan, 0, 0, 0, {0, 0, 1, 500, 350, 1, 1});
    tarn::DeepZoomTile tile;
    EXPECT_FALSE(tarn::DeepZoomTileOf(plan, 10, 4, 0, &tile));
    EXPECT_FALSE(tarn::DeepZoomTileOf(plan, 11, 0, 0, &tile));
    EXPECT_FALSE(tarn::DeepZoomTileOf(plan, -1, 0, 0, &tile));
    EXPECT_FALSE(tarn::DeepZoomTileOf(plan, 9, 0, -1, &tile));
}

TEST(DeepZoomGeometry, OverlapZeroWithinLimitedBounds) {
    // Odd sizes; the bounds hold 501 x 301 of level 0 from (100, 50), so level 1 shows
    // ceil(365 * 501 / 731) x ceil(245 * 301 / 491) = 251 x 151 of its pixels.
    const std::vector<Level> levels = Levels({{731, 491}, {365, 245}}, {1, 2});
    const Bounds bounds{100, 50, 501, 301};
    const auto plan = tarn::PlanDeepZoom(levels, bounds, 128, 0, true);
    ASSERT_EQ(plan.levels.size(), 10U);
    EXPECT_EQ(plan.levels[9].width, 501);
    EXPECT_EQ(plan.levels[9].height, 301);
    EXPECT_EQ(plan.levels[8].width, 251);
    EXPECT_EQ(plan.levels[8].height, 151);
    EXPECT_EQ(plan.tileCount, 4 * 3 + 2 * 2 + 8);
    ExpectTile(plan, 9, 3, 2, {484, 306, 0, 117, 45, 117, 45});
    ExpectTile(plan, 8, 1, 1, {356, 306, 1, 123, 23, 123, 23});
    ExpectTile(plan, 7, 0, 0, {100, 50, 1, 251, 151, 126, 76});
    // Without the limit, or without bounds, the whole slide shows.
    EXPECT_EQ(tarn::PlanDeepZoom(levels, bounds, 128, 0, false).levels.back().width, 731);
    EXPECT_EQ(tarn::PlanDeepZoom(levels, std::nullopt, 128, 0, true).levels.back().width, 731);
}

TEST(LevelArithmetic, DownsamplesBestLevelsAndCoordinates) {
    // The stated ratio within a pixel, else OpenSlide's measured mean.
    EXPECT_EQ(tarn::LevelDownsample(2, 2, 731, 491, 182, 122), 4.0);
    EXPECT_EQ(tarn::LevelDownsample(2, 1, 462, 268, 226, 192), (462.0 / 226 + 268.0 / 192) / 2);
    EXPECT_EQ(tarn::LevelDownsample(0, 1, 400, 300, 200, 150), 2.0);
    EXPECT_EQ(
        tarn::LevelDownsample(-std::numeric_limits<double>::infinity(), 1, 400, 300, 100, 100),
        3.5);
    const std::vector<Level> levels = Levels({{8, 8}, {4, 4}, {1, 1}}, {1, 2, 8});
    EXPECT_EQ(tarn::BestLevelFor(levels, 0.5), 0);
    EXPECT_EQ(tarn::BestLevelFor(levels, 7.99), 1);
    EXPECT_EQ(tarn::BestLevelFor(levels, 8), 2);
    // Division rounding down, negatives included, exact for whole downsamples at any size.
    EXPECT_EQ(tarn::ToLevel(7, 2), 3);
    EXPECT_EQ(tarn::ToLevel(-1, 2), -1);
    EXPECT_EQ(tarn::ToLevel(-4, 4), -1);
    EXPECT_EQ(tarn::ToLevel((int64_t{1} << 60) + 3, 4), int64_t{1} << 58);
    EXPECT_EQ(tarn::ToLevel(10, 1.72), 5);
    EXPECT_EQ(tarn::ToLevel(INT64_MAX, 1), int64_t{1} << 62);
    EXPECT_EQ(tarn::ToLevel(INT64_MIN, 1.5), -(int64_t{1} << 62));
}

TEST(BoxFilter, HalvesExactlyAndKeepsFlatAreasFlatAtAnyScale) {
    // 4 x 2 to 2 x 1: each output is the mean of its 2 x 2 block, halves rounded up.
    const uint8_t src[4 * 2 * 3] = {0, 10, 255, 1, 10, 255, 8,   8, 8,  9,   9, 9,
                                    0, 11, 255, 2, 10, 254, 100, 0, 50, 101, 1, 50};
    uint8_t out[2 * 4] = {};
    tarn::ScaleBox(src, 4, 2, out, 2, 1, 4);
    const uint8_t expected[] = {1, 10, 255, 255, 55, 5, 29, 255};
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>(expected, expected + 8));

    for (const auto& [sw, sh, dw, dh] : std::vector<std::array<uint32_t, 4>>{
             {365, 245, 183, 123}, {7, 5, 3, 2}, {3, 2, 7, 5}, {10, 10, 10, 10}, {1, 1, 4, 3}}) {
        std::vector<uint8_t> flat(size_t{sw} * sh * 3);
        for (size_t i = 0; i < flat.size(); ++i)
            flat[i] = static_cast<uint8_t>(i % 3 == 0 ? 255 : i % 3 == 1 ? 17 : 0);
        std::vector<uint8_t> scaled(size_t{dw} * dh * 3);
        tarn::ScaleBox(flat.data(), sw, sh, scaled.data(), dw, dh, 3);
        for (size_t i = 0; i < scaled.size(); i += 3)
            ASSERT_EQ((std::array<uint8_t, 3>{scaled[i], scaled[i + 1], scaled[i + 2]}),
                      (std::array<uint8_t, 3>{255, 17, 0}))
                << sw << "x" << sh << " to " << dw << "x" << dh << " at " << i / 3;
    }
}

TEST(BoxFilter, ScalesTheSameReadABlockAtATime) {
    // Bands of rows and blocks of columns, even blocks smaller than one output pixel's source.
    for (const auto& [sw, sh, dw, dh] : std::vector<std::array<uint32_t, 4>>{
             {365, 245, 37, 23}, {100, 90, 100, 90}, {64, 48, 61, 50}}) {
        std::vector<uint8_t> src(size_t{sw} * sh * 3);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = static_cast<uint8_t>((i * 2654435761U) >> 13);
        std::vector<uint8_t> whole(size_t{dw} * dh * 4), pieces(whole.size());
        tarn::ScaleBox(src.data(), sw, sh, whole.data(), dw, dh, 4);
        int reads = 0;
        const uint32_t width = sw;  // (a lambda cannot capture a structured binding in C++20)
        const tarn::BoxScaler scaler(sw, sh, dw, dh);
        ASSERT_TRUE(scaler.Run(
            [&](uint32_t x, uint32_t y, uint32_t columns, uint32_t rows, uint8_t* out) {
                ++reads;
                EXPECT_LE(x + columns, width);
                for (uint32_t r = 0; r < rows; ++r)
                    memcpy(out + size_t{r} * columns * 3, &src[(size_t{y + r} * width + x) * 3],
                           size_t{columns} * 3);
                return true;
            },
            pieces.data(), 4, 700));
        EXPECT_GT(reads, 1);
        EXPECT_EQ(pieces, whole) << sw << "x" << sh << " to " << dw << "x" << dh;
    }
}

TEST(CoarseLevels, TilesOfCoarseLevelsShowWhatTheLayerShows) {
    // One layer of 36 x 36 tiles of 64 pixels, larger than is read whole: its coarse Deep Zoom
    // tiles come from levels built for it, and show what the box filter makes of the layer.
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(36, 36, 1);
    spec.tileWidth = spec.tileHeight = 64;
    spec.layers[0].boundWidth = spec.layers[0].boundHeight = 0;
    const std::string path = tarntest::TestDirectory() + "/one-layer.tarn";
    tarnwriter::WriteFile(path, tarnwriter::BuildSlide(spec).bytes);
    tarn_slide* slide = tarn_open(path.c_str());
    ASSERT_NE(slide, nullptr) << tarn_get_error(nullptr);
    tarn_deepzoom* view = tarn_deepzoom_create(slide, 254, 1, 0);
    const int32_t levels = tarn_deepzoom_get_level_count(view);
    EXPECT_EQ(tarn_deepzoom_wait_level(view, levels - 1, 0), 1);  // the layer itself
    EXPECT_EQ(tarn_deepzoom_wait_level(view, levels - 3, -1), 1);
    EXPECT_DOUBLE_EQ(tarn_deepzoom_get_build_progress(view), 1.0);
    for (const int32_t level : {levels - 2, levels - 3, levels - 5}) {  // zoom 2, 4 and 16
        tarn_deepzoom_tile tile{};
        ASSERT_EQ(tarn_deepzoom_get_tile_info(view, level, 0, 0, &tile), 0);
        std::vector<uint8_t> shown(static_cast<size_t>(tile.tile_width * tile.tile_height) * 3);
        std::vector<uint8_t> area(static_cast<size_t>(tile.width * tile.height) * 3);
        std::vector<uint8_t> expected(shown.size());
        ASSERT_EQ(tarn_deepzoom_read_tile(view, level, 0, 0, shown.data(), TARN_FORMAT_RGB), 0);
        ASSERT_EQ(tarn_read_region(slide, area.data(), tile.x, tile.y, 0, tile.width, tile.height,
                                   TARN_FORMAT_RGB),
                  0);
        tarn::ScaleBox(area.data(), static_cast<uint32_t>(tile.width),
                       static_cast<uint32_t>(tile.height), expected.data(),
                       static_cast<uint32_t>(tile.tile_width),
                       static_cast<uint32_t>(tile.tile_height), 3);
        double difference = 0;
        for (size_t i = 0; i < shown.size(); ++i)
            difference += std::abs(shown[i] - expected[i]);
        EXPECT_LT(difference / static_cast<double>(shown.size()), 4.0) << "level " << level;
    }
    // The coarse levels tarn.h reads are the built ones: within JPEG's tolerance of the means.
    tarn_deepzoom_destroy(view);
    std::vector<uint8_t> layer(size_t{1024} * 1024 * 3), coarse(size_t{256} * 256 * 3);
    ASSERT_EQ(tarn_read_level_region(slide, layer.data(), 0, 512, 512, 1024, 1024, TARN_FORMAT_RGB),
              0);
    ASSERT_EQ(tarn_get_coarse_level_count(slide), 4);
    ASSERT_EQ(tarn_read_coarse_region(slide, coarse.data(), 2, 128, 128, 256, 256, TARN_FORMAT_RGB),
              0);
    std::vector<uint8_t> means(coarse.size());
    tarn::ScaleBox(layer.data(), 1024, 1024, means.data(), 256, 256, 3);
    double difference = 0;
    for (size_t i = 0; i < means.size(); ++i)
        difference += std::abs(coarse[i] - means[i]);
    EXPECT_LT(difference / static_cast<double>(means.size()), 4.0);
    tarn_close(slide);
}

}  // namespace
