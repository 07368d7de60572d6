// The patch reader when its decoded tiles do not all fit: tiles dropped and decoded again, and
// patches larger than the bound read as regions, every patch still the region it names.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Core/Slide.h"
#include "Service/Patches.h"
#include "Service/Reads.h"
#include "support/SlideFixtures.h"

namespace {

using tarn::PixelFormat;
using tarn::Status;

TEST(PatchReader, ABoundTooSmallForTheTilesStillReadsEveryPatch) {
    tarn::OpenFailure failure;
    tarn::Slide* slide = tarn::OpenSlide(tarntest::JpegSlidePath().c_str(), &failure);
    ASSERT_NE(slide, nullptr);
    {
        const tarn::SlideReader reader(*slide);
        const tarn::ReadContext& read = reader.context();
        const tarn::LayerGeometry& grid = read.layer(0).grid;  // 4 x 3 tiles of 128 x 96
        // Overlapping patches in no order over the whole level, and two larger than the bound.
        std::mt19937 random(5);
        std::vector<int64_t> xy;
        for (int i = 0; i < 60; ++i) {
            xy.push_back(static_cast<int64_t>(random() % 520) - 40);
            xy.push_back(static_cast<int64_t>(random() % 320) - 30);
        }
        const int64_t count = static_cast<int64_t>(xy.size() / 2);
        for (const auto& [w, h] : {std::pair<int64_t, int64_t>{100, 80}, {400, 250}}) {
            const size_t bytes = static_cast<size_t>(w * h * 3);
            std::vector<uint8_t> expected(bytes * static_cast<size_t>(count));
            for (int64_t i = 0; i < count; ++i)
                ASSERT_EQ(tarn::ReadArea(read, 0, xy[2 * i], xy[2 * i + 1], w, h,
                                         tarn::Extent::Picture, expected.data() + i * bytes,
                                         static_cast<size_t>(w * 3), PixelFormat::Rgb),
                          Status::Ok);
            for (int64_t batch : {int64_t{1}, int64_t{7}, count}) {
                // A bound of one tile's bytes: the reader keeps its floor of 8 tiles, of 12.
                tarn::PatchReader patches(grid, {0, w, h, PixelFormat::Rgb}, xy, batch, 1);
                std::vector<uint8_t> got(expected.size());
                std::vector<int> status(static_cast<size_t>(count), 7);
                for (int64_t first = 0; first < count; first += batch)
                    EXPECT_EQ(
                        patches.ReadBatch(read, first, std::min(batch, count - first),
                                          got.data() + first * bytes, status.data() + first, 2),
                        0);
                EXPECT_EQ(status, std::vector<int>(static_cast<size_t>(count), 0));
                EXPECT_TRUE(got == expected) << w << " x " << h << ", batches of " << batch;
            }
        }
    }
    tarn::CloseSlide(slide);
}

}  // namespace
