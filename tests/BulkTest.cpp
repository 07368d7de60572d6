// Bulk work: JPEG blocks of a layer, whole-layer decodes, and the batch export to files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "Common/ThreadCap.h"
#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/ZyCommon.h"
#include "support/Reference.h"
#include "support/SlideFixtures.h"
#include "support/Slides.h"
#include "support/TestFiles.h"

using tarntest::OpenSlide;
using tarntest::Pixels;
using tarnwriter::Bytes;

namespace {

Pixels WholeLayer(ZyTarnInfo* slide, int layer, int* width, int* height, int* code) {
    unsigned char* data = nullptr;
    *code = ZySpecifyLayerJpeg2Rgb(slide, &data, width, height, layer);
    Pixels out;
    if (data != nullptr) out.assign(data, data + size_t(*width) * *height * 3);
    Dispose(data);
    return out;
}

TEST(WholeLayer, MatchesTheReferenceForAnyTeamSize) {
    for (const std::string* path : {&tarntest::JpegSlidePath(), &tarntest::HevcSlidePath(true)}) {
        OpenSlide slide(path->c_str());
        ASSERT_TRUE(slide);
        const Pixels reference = tarntest::ReferenceLayer(slide.get(), 0);
        for (int threads : {1, 2, 5}) {
            tarn::SetThreadCap(threads);
            int width = 0, height = 0, code = -1;
            const Pixels layer = WholeLayer(slide.get(), 0, &width, &height, &code);
            EXPECT_EQ(code, 0);
            EXPECT_EQ(width, int(slide->PicHead->TileWidth * slide->PicInfos[0]->XCount));
            EXPECT_EQ(height, int(slide->PicHead->TileHeight * slide->PicInfos[0]->YCount));
            EXPECT_EQ(layer, reference) << *path << " threads " << threads;
        }
        tarn::SetThreadCap(0);
    }
}

TEST(WholeLayer, MatchesARegionOfTheWholeGrid) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    int width = 0, height = 0, code = 0;
    const Pixels layer = WholeLayer(slide.get(), 1, &width, &height, &code);
    unsigned char* region = nullptr;
    ASSERT_EQ(ZyGetRoiRgbOfSpecifyLayer(slide.get(), &region, width, height, 0, 0, 1), 0);
    EXPECT_EQ(memcmp(layer.data(), region, layer.size()), 0);
    Dispose(region);
}

TEST(WholeLayer, BrokenTilesAreWhiteAndRangeIsChecked) {
    const tarntest::TempFile file(tarntest::WithBrokenTile(tarntest::JpegSlide(), 0));
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    int width = 0, height = 0, code = -1;
    const Pixels layer = WholeLayer(slide.get(), 0, &width, &height, &code);
    ASSERT_EQ(code, 0);
    for (int row = 0; row < 96; ++row)
        for (int col = 0; col < 128 * 3; ++col)
            ASSERT_EQ(layer[size_t(row) * width * 3 + col], 0xFF) << row << "," << col;

    width = height = -5;
    unsigned char* data = nullptr;
    EXPECT_EQ(ZySpecifyLayerJpeg2Rgb(slide.get(), &data, &width, &height, 2), ZY_E_LAYER);
    EXPECT_EQ(ZySpecifyLayerJpeg2Rgb(slide.get(), &data, &width, &height, -1), ZY_E_LAYER);
    EXPECT_EQ(ZySpecifyLayerJpeg2Rgb(nullptr, &data, &width, &height, 0), ZY_E_NULL);
    EXPECT_EQ(width + height, -10);
    EXPECT_EQ(data, nullptr);
}

// A blank layer and a layer nothing of which can be read must not look alike.
TEST(WholeLayer, FailsWhenNoStoredTileCanBeRead) {
    Bytes bytes = tarntest::JpegSlide().bytes;
    const tarnwriter::SlideLayout& layout = tarntest::JpegSlide().layout;
    for (size_t i = 0; i < layout.tileOffsets[1].size(); ++i)
        bytes[layout.tileOffsets[1][i]] = 0;  // no tile of layer 1 starts like a JPEG
    const tarntest::TempFile file(bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    int width = -5, height = -5;
    unsigned char* data = nullptr;
    EXPECT_EQ(ZySpecifyLayerJpeg2Rgb(slide.get(), &data, &width, &height, 1), ZY_E_DECODE);
    EXPECT_EQ(width + height, -10);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(ZySpecifyLayerJpeg2Rgb(slide.get(), &data, &width, &height, 0), 0);  // still reads
    Dispose(data);
}

struct Blocks {
    std::vector<ZyImageInfo> records;
    explicit Blocks(size_t n) : records(n) {}
    ~Blocks() {
        for (ZyImageInfo& r : records)
            Dispose(r.Data);
    }
};

TEST(BlockJpeg, TruncatingSplitOfTheImageArea) {
    // Layer 0: 4 x 3 tiles of 128 x 96 less a bound of 50 x 20 = 462 x 268 pixels.
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    Blocks blocks(6);
    ASSERT_EQ(ZyGetBlockJpegFromTarn(slide.get(), blocks.records.data(), 75, 3, 2, 0, JCS_EXT_BGR),
              0);
    const uint32_t widths[] = {154, 154, 154}, heights[] = {134, 134};
    const Pixels grid = tarntest::ReferenceLayer(slide.get(), 0);
    uint32_t top = 0;
    for (int i = 0; i < 2; ++i) {
        uint32_t left = 0;
        for (int j = 0; j < 3; ++j) {
            const ZyImageInfo& block = blocks.records[i * 3 + j];
            EXPECT_EQ(block.Width, widths[j]);
            EXPECT_EQ(block.Height, heights[i]);
            EXPECT_EQ(block.Channels, 3U);
            EXPECT_EQ(block.Pixels, nullptr);  // left alone
            // The block is the region's pixels encoded at the caller's quality.
            const Pixels pixels = tarntest::Crop(grid, 512, 288, left, top, widths[j], heights[i]);
            unsigned char* expected = nullptr;
            const int size =
                tarn::EncodeJpegBgr(pixels.data(), widths[j], heights[i], 75, &expected);
            EXPECT_EQ(Bytes(block.Data, block.Data + block.DataSize),
                      Bytes(expected, expected + size));
            Dispose(expected);
            left += widths[j];
        }
        top += heights[i];
    }
    EXPECT_EQ(top, 268U);
}

TEST(BlockJpeg, LastBlockTakesTheRemainder) {
    // 1000 x 700 pixels cut 3 across and 2 down: 333, 333, 334 wide, 350 high.
    tarnwriter::SlideSpec spec;
    spec.tileWidth = 256;
    spec.tileHeight = 256;
    tarnwriter::LayerSpec layer;
    layer.xCount = 4;
    layer.yCount = 3;
    layer.boundWidth = 24;
    layer.boundHeight = 68;
    layer.tiles.assign(12, {});  // empty tiles: white, quick to encode
    spec.layers = {layer};
    const tarntest::TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    Blocks blocks(6);
    ASSERT_EQ(ZyGetBlockJpegFromTarn(slide.get(), blocks.records.data(), 90, 3, 2, 0, JCS_EXT_BGR),
              0);
    const uint32_t widths[] = {333, 333, 334};
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(blocks.records[k].Width, widths[k % 3]) << k;
        EXPECT_EQ(blocks.records[k].Height, 350U) << k;
    }
}

TEST(BlockJpeg, RefusalsAndFailuresMidway) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    Blocks blocks(20);
    ZyImageInfo* records = blocks.records.data();
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), nullptr, 75, 1, 1, 9, JCS_EXT_BGR), ZY_E_NULL);
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), records, 75, 1, 1, 2, JCS_EXT_BGR), ZY_E_LAYER);
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), records, 75, 0, 1, 0, JCS_EXT_BGR), ZY_E_BLOCKS);
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), records, 75, 5, 1, 0, JCS_EXT_BGR), ZY_E_BLOCKS);
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), records, 75, 1, 4, 0, JCS_EXT_BGR), ZY_E_BLOCKS);
    // Pixels of four bytes would be read past the block's three-byte pixels.
    EXPECT_EQ(ZyGetBlockJpegFromTarn(nullptr, records, 75, 1, 1, 0, JCS_EXT_BGRA), ZY_E_CODEC);
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), records, 75, 1, 1, 0, JCS_GRAYSCALE), ZY_E_CODEC);
    for (const ZyImageInfo& r : blocks.records)
        EXPECT_EQ(r.Data, nullptr);
    // As many blocks across as tiles is accepted.
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), records, 75, 4, 3, 0, JCS_EXT_RGB), 0);
    for (int k = 0; k < 12; ++k)
        EXPECT_GT(records[k].DataSize, 0);

    // A corrupt tile under the third block stops the cut there.
    const tarntest::TempFile file(tarntest::WithBrokenTile(tarntest::JpegSlide(), 2));
    OpenSlide damaged(file);
    ASSERT_TRUE(damaged);
    Blocks cut(4);
    EXPECT_EQ(ZyGetBlockJpegFromTarn(damaged.get(), cut.records.data(), 75, 4, 1, 0, JCS_EXT_BGR),
              ZY_E_DECODE);
    EXPECT_NE(cut.records[0].Data, nullptr);
    EXPECT_NE(cut.records[1].Data, nullptr);
    EXPECT_EQ(cut.records[2].Data, nullptr);
    EXPECT_EQ(cut.records[3].Width, 0U);
}

// A JPEG is at most 65,500 pixels wide: blocks wider than that need a finer block grid, and are
// refused before any tile is decoded.
TEST(BlockJpeg, BlocksWiderThanAJpegFailBeforeDecoding) {
    tarnwriter::SlideSpec spec;
    spec.thumbnail = Bytes(64, 0x33);
    spec.tileHeight = 8;
    tarnwriter::LayerSpec wide;
    wide.xCount = 300;  // 76,800 x 8 pixels of empty tiles
    wide.yCount = 1;
    wide.tiles.assign(300, Bytes());
    spec.layers = {wide};
    const tarntest::TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    Blocks blocks(2);
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), blocks.records.data(), 75, 1, 1, 0, JCS_EXT_BGR),
              ZY_E_BLOCKS);
    EXPECT_EQ(blocks.records[0].Data, nullptr);
    EXPECT_EQ(blocks.records[0].Width, 0U);
    EXPECT_EQ(ZyGetBlockJpegFromTarn(slide.get(), blocks.records.data(), 75, 2, 1, 0, JCS_EXT_BGR),
              0);
    EXPECT_EQ(blocks.records[1].Width, 38400U);
}

// The files a directory holds, by name.
std::set<std::string> FilesIn(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

std::string FreshDirectory(const std::string& name) {
    const std::string path = tarntest::TestDirectory() + "/" + name;
    std::filesystem::remove_all(path);
    std::filesystem::create_directory(path);
    return path;
}

TEST(BatchExport, WritesEveryTileOfLayerZero) {
    // Layer 0's picture: 462 x 268. Tiles of 200 x 100: 3 x 3 files.
    const std::string out = FreshDirectory("export");
    char* slidePath = const_cast<char*>(tarntest::JpegSlidePath().c_str());
    ASSERT_EQ(GetAllSliceJpeg(slidePath, const_cast<char*>(out.c_str()), 200, 100), 1);
    std::set<std::string> expected;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            expected.insert(std::to_string(c) + "_" + std::to_string(r) + "_200_100.jpeg");
    ASSERT_EQ(FilesIn(out), expected);

    OpenSlide slide(slidePath);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const Bytes file = tarnwriter::ReadFile(out + "/" + std::to_string(c) + "_" +
                                                    std::to_string(r) + "_200_100.jpeg");
            int size = 0;
            unsigned char* jpeg =
                GetRoiSliceJpeg(slide.get(), 0, c * 200, r * 100, 200, 100, &size);
            ASSERT_NE(jpeg, nullptr);
            EXPECT_EQ(file, Bytes(jpeg, jpeg + size)) << c << "," << r;
            Dispose(jpeg);
        }

    // Again into the same directory: every file is rewritten, nothing else appears.
    ASSERT_EQ(GetAllSliceJpeg(slidePath, const_cast<char*>(out.c_str()), 200, 100), 1);
    EXPECT_EQ(FilesIn(out), expected);
}

TEST(BatchExport, GridEdgeCases) {
    char* slidePath = const_cast<char*>(tarntest::JpegSlidePath().c_str());
    const std::string out = FreshDirectory("edges");
    char* dir = const_cast<char*>(out.c_str());
    // Sizes of zero or less give an empty grid: nothing written, success.
    EXPECT_EQ(GetAllSliceJpeg(slidePath, dir, 0, 100), 1);
    EXPECT_EQ(GetAllSliceJpeg(slidePath, dir, 100, -3), 1);
    EXPECT_TRUE(FilesIn(out).empty());
    // A tile wider than the grid fails the first region: nothing written.
    EXPECT_EQ(GetAllSliceJpeg(slidePath, dir, 513, 100), 0);
    EXPECT_TRUE(FilesIn(out).empty());
    // Exactly dividing sizes: 462 = 2 x 231.
    EXPECT_EQ(GetAllSliceJpeg(slidePath, dir, 231, 268), 1);
    EXPECT_EQ(FilesIn(out), (std::set<std::string>{"0_0_231_268.jpeg", "1_0_231_268.jpeg"}));
    // A trailing slash is kept as given.
    const std::string slashed = out + "/";
    EXPECT_EQ(GetAllSliceJpeg(slidePath, const_cast<char*>(slashed.c_str()), 462, 268), 1);
    EXPECT_TRUE(FilesIn(out).count("0_0_462_268.jpeg"));

    EXPECT_EQ(GetAllSliceJpeg(nullptr, dir, 100, 100), 0);
    EXPECT_EQ(GetAllSliceJpeg(slidePath, nullptr, 100, 100), 0);
    // A bound one pixel wider than the grid leaves no picture: refused, not an empty success.
    Bytes bytes = tarntest::JpegSlide().bytes;
    tarnwriter::PutU32(bytes, tarntest::JpegSlide().layout.layerRecords[0] + 50, 4 * 128 + 1);
    const tarntest::TempFile damaged(bytes);
    EXPECT_EQ(GetAllSliceJpeg(const_cast<char*>(damaged.c_str()), dir, 100, 100), 0);
    EXPECT_EQ(GetAllSliceJpeg(const_cast<char*>("/nonexistent.tarn"), dir, 100, 100), 0);
}

TEST(BatchExport, WriteFailuresStopTheExport) {
    char* slidePath = const_cast<char*>(tarntest::JpegSlidePath().c_str());
    EXPECT_EQ(GetAllSliceJpeg(slidePath, const_cast<char*>("/nonexistent/dir"), 200, 100), 0);
    // A name longer than 255 characters is refused, never truncated.
    const std::string deep = FreshDirectory(std::string(240, 'd'));
    EXPECT_EQ(GetAllSliceJpeg(slidePath, const_cast<char*>(deep.c_str()), 200, 100), 0);
    EXPECT_TRUE(FilesIn(deep).empty());
    // A full disk: the partly written file is removed.
    if (access("/dev/full", W_OK) == 0) {
        const std::string full = FreshDirectory("full");
        std::filesystem::create_symlink("/dev/full", full + "/0_0_200_100.jpeg");
        EXPECT_EQ(GetAllSliceJpeg(slidePath, const_cast<char*>(full.c_str()), 200, 100), 0);
    }
}

}  // namespace
