// Single tiles: as JPEG, as stored bytes, and as pixels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "FixedApi/ZyCommon.h"
#include "support/Memory.h"
#include "support/Reference.h"
#include "support/SlideFixtures.h"
#include "support/Slides.h"
#include "support/TestFiles.h"

using tarntest::OpenSlide;
using tarntest::Pixels;
using tarnwriter::Bytes;

namespace {

struct Fetched {
    int code = 0;
    Bytes bytes;
    bool null = true;
};

Fetched Fetch(ZyTarnInfo* slide, bool asJpeg, int layer, int x, int y) {
    unsigned char* data = nullptr;
    int size = -1;
    Fetched f;
    f.code = asJpeg ? ZyGetJpegSliceOfSpecifyLayer(slide, &data, &size, layer, x, y)
                    : ZyGetHevcSliceOfSpecifyLayer(slide, &data, &size, layer, x, y);
    f.null = data == nullptr;
    if (data != nullptr) f.bytes.assign(data, data + size);
    Dispose(data);
    return f;
}

Pixels TilePixels(ZyTarnInfo* slide, int layer, int x, int y, int* code) {
    unsigned char* data = nullptr;
    *code = ZyGetRgbSliceOfSpecifyLayer(slide, &data, layer, x, y);
    Pixels out;
    if (data != nullptr)
        out.assign(data, data + size_t{slide->PicHead->TileWidth} * slide->PicHead->TileHeight * 3);
    Dispose(data);
    return out;
}

Pixels ReferenceTile(ZyTarnInfo* slide, int layer, uint32_t x, uint32_t y) {
    const uint32_t tw = slide->PicHead->TileWidth, th = slide->PicHead->TileHeight;
    const ZyPicInfo& record = *slide->PicInfos[layer];
    return tarntest::Crop(tarntest::ReferenceLayer(slide, layer), tw * record.XCount,
                          th * record.YCount, x * tw, y * th, tw, th);
}

TEST(TileFetch, JpegSlideHandsOutTheStoredBytes) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    const tarnwriter::SlideFile& file = tarntest::JpegSlide();
    const Bytes& stored = file.bytes;
    for (int i : {0, 3, 11}) {  // 11 is the last tile of the layer
        const uint64_t at = file.layout.tileOffsets[0][i];
        const Bytes expected(stored.begin() + at,
                             stored.begin() + at + file.layout.tileSizes[0][i]);
        EXPECT_EQ(Fetch(slide.get(), true, 0, i % 4, i / 4).bytes, expected) << i;
        EXPECT_EQ(Fetch(slide.get(), false, 0, i % 4, i / 4).bytes, expected) << i;
    }
}

TEST(TileFetch, EmptyTilesAreWhiteJpegsOrNothing) {
    for (const std::string* path : {&tarntest::JpegSlidePath(), &tarntest::HevcSlidePath(false)}) {
        OpenSlide slide(path->c_str());
        ASSERT_TRUE(slide);
        const bool jpegSlide = slide->PicHead->CompressionType == ZY_COMPRESSION_JPEG;
        const int x = jpegSlide ? 1 : 1, y = 1;  // tile 5 of the JPEG slide, 4 of the HEVC one
        const Fetched jpeg = Fetch(slide.get(), true, 0, x, y);
        ASSERT_EQ(jpeg.code, 0);
        int width = 0, height = 0;
        const Pixels white =
            tarntest::PlainJpegDecode(jpeg.bytes.data(), jpeg.bytes.size(), &width, &height);
        EXPECT_EQ(width, static_cast<int>(slide->PicHead->TileWidth));
        EXPECT_EQ(height, static_cast<int>(slide->PicHead->TileHeight));
        EXPECT_EQ(white, Pixels(white.size(), 0xFF));

        const Fetched stored = Fetch(slide.get(), false, 0, x, y);
        EXPECT_EQ(stored.code, 0);
        EXPECT_TRUE(stored.null);
    }
}

TEST(TileFetch, HevcTilesBecomeJpegsOfTheTileSize) {
    OpenSlide slide(tarntest::HevcSlidePath(true).c_str());
    ASSERT_TRUE(slide);
    const Fetched jpeg = Fetch(slide.get(), true, 0, 2, 1);
    ASSERT_EQ(jpeg.code, 0);
    int width = 0, height = 0;
    tarntest::PlainJpegDecode(jpeg.bytes.data(), jpeg.bytes.size(), &width, &height);
    EXPECT_EQ(width, 96);
    EXPECT_EQ(height, 64);

    // A broken HEVC tile fails the transcode with its own code.
    tarnwriter::SlideFile broken = tarntest::HevcSlide(true);
    const uint64_t at = broken.layout.tileOffsets[0][0];
    for (uint32_t i = 0; i < broken.layout.tileSizes[0][0]; ++i)
        broken.bytes[at + i] = 0;
    const tarntest::TempFile file(broken.bytes);
    OpenSlide damaged(file);
    ASSERT_TRUE(damaged);
    EXPECT_EQ(Fetch(damaged.get(), true, 0, 0, 0).code, ZY_E_HEVC);
    int code = 0;
    EXPECT_EQ(TilePixels(damaged.get(), 0, 0, 0, &code), Pixels(96 * 64 * 3, 0xFF));
    EXPECT_EQ(code, ZY_E_DECODE);
}

TEST(TileFetch, AddressesAreCheckedInOrder) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    for (bool asJpeg : {true, false}) {
        EXPECT_EQ(Fetch(slide.get(), asJpeg, 0, 4, 0).code, ZY_E_TILE);
        EXPECT_EQ(Fetch(slide.get(), asJpeg, 0, 0, 3).code, ZY_E_TILE);
        EXPECT_EQ(Fetch(slide.get(), asJpeg, 0, -1, 0).code, ZY_E_TILE);
        EXPECT_EQ(Fetch(slide.get(), asJpeg, 2, -1, -1).code, ZY_E_LAYER);  // layer first
        EXPECT_EQ(Fetch(slide.get(), asJpeg, -1, 0, 0).code, ZY_E_LAYER);
        EXPECT_EQ(Fetch(nullptr, asJpeg, 0, 0, 0).code, ZY_E_NULL);
        EXPECT_TRUE(Fetch(slide.get(), asJpeg, 0, 4, 0).null);
    }
    unsigned char* data = nullptr;
    EXPECT_EQ(ZyGetRgbSliceOfSpecifyLayer(slide.get(), &data, 0, 4, 0), ZY_E_TILE);
    EXPECT_EQ(data, nullptr);
    ZyTarnInfo noPath = *slide.get();
    noPath.Path = nullptr;
    EXPECT_EQ(Fetch(&noPath, true, 0, 0, 0).code, ZY_E_NULL);
}

TEST(TileFetch, UnreadableTilesAreShortReads) {
    const tarnwriter::SlideFile& file = tarntest::JpegSlide();
    const tarntest::TempFile truncated(Bytes(file.bytes.begin(), file.bytes.end() - 1));
    OpenSlide slide(truncated);
    ASSERT_TRUE(slide);
    EXPECT_EQ(Fetch(slide.get(), true, 1, 1, 1).code, ZY_E_SHORT_READ);  // the file's last tile
    EXPECT_EQ(Fetch(slide.get(), false, 1, 1, 1).code, ZY_E_SHORT_READ);
    int code = 0;
    EXPECT_TRUE(TilePixels(slide.get(), 1, 1, 1, &code).empty());
    EXPECT_EQ(code, ZY_E_SHORT_READ);

    auto* vanishing = new tarntest::TempFile(file.bytes);
    OpenSlide gone(*vanishing);
    ASSERT_TRUE(gone);
    delete vanishing;
    EXPECT_EQ(Fetch(gone.get(), true, 0, 0, 0).code, ZY_E_SHORT_READ);
    // An empty tile needs no file.
    EXPECT_EQ(Fetch(gone.get(), true, 0, 1, 1).code, 0);
}

TEST(DecodedTile, PixelsMatchTheIndependentDecode) {
    for (const std::string* path : {&tarntest::JpegSlidePath(), &tarntest::HevcSlidePath(false)}) {
        OpenSlide slide(path->c_str());
        ASSERT_TRUE(slide);
        for (uint32_t i : {0U, 2U, 3U}) {
            int code = -1;
            const uint32_t x = i % slide->PicInfos[0]->XCount, y = i / slide->PicInfos[0]->XCount;
            EXPECT_EQ(TilePixels(slide.get(), 0, x, y, &code), ReferenceTile(slide.get(), 0, x, y))
                << *path << " tile " << i;
            EXPECT_EQ(code, 0);
        }
    }
}

TEST(DecodedTile, EmptyTiles) {
    // JPEG slide: the white JPEG is decoded and corrected like any tile.
    OpenSlide jpeg(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(jpeg);
    int code = -1;
    const Pixels corrected = TilePixels(jpeg.get(), 0, 1, 1, &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(corrected.size(), 128U * 96 * 3);
    const ColorCorrectTable& table = *ColorTable;
    EXPECT_EQ(corrected[0], table.plane[2][255][255][255]);
    EXPECT_EQ(corrected[2], table.plane[0][255][255][255]);
    EXPECT_NE(corrected[0], 0xFF);

    // HEVC slide: plain white, and a success.
    OpenSlide hevc(tarntest::HevcSlidePath(false).c_str());
    ASSERT_TRUE(hevc);
    EXPECT_EQ(TilePixels(hevc.get(), 0, 1, 1, &code), Pixels(96 * 64 * 3, 0xFF));
    EXPECT_EQ(code, 0);
}

TEST(DecodedTile, TilesOfAnotherSizeAreRefused) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.tileWidth = 64;
    spec.tileHeight = 64;
    spec.layers[0] = {};
    spec.layers[0].xCount = 2;
    spec.layers[0].tiles = {tarnwriter::EncodeJpeg(tarnwriter::RenderTissue(0, 0, 64, 64)),
                            tarnwriter::EncodeJpeg(tarnwriter::RenderTissue(0, 0, 64, 65))};
    const tarntest::TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    int code = 0;
    EXPECT_FALSE(TilePixels(slide.get(), 0, 0, 0, &code).empty());
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(TilePixels(slide.get(), 0, 1, 0, &code).empty());
    EXPECT_EQ(code, ZY_E_DECODE);
    unsigned char* region = nullptr;
    EXPECT_EQ(ZyGetRoiRgbOfSpecifyLayer(slide.get(), &region, 128, 64, 0, 0, 0), ZY_E_DECODE);
    EXPECT_EQ(region, nullptr);
}

TEST(DecodedTile, UndefinedCompressionGivesNoPixels) {
    Bytes bytes = tarntest::JpegSlide().bytes;
    tarnwriter::PutU32(bytes, 104, 1);
    const tarntest::TempFile file(bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    int code = 0;
    EXPECT_TRUE(TilePixels(slide.get(), 0, 0, 0, &code).empty());
    EXPECT_EQ(code, ZY_E_DECODE);
    EXPECT_EQ(Fetch(slide.get(), true, 0, 0, 0).code, ZY_E_DECODE);
    EXPECT_EQ(Fetch(slide.get(), true, 0, 1, 1).code, ZY_E_DECODE);  // empty tiles too
    EXPECT_EQ(Fetch(slide.get(), false, 0, 0, 0).code, 0);           // stored bytes are bytes
}

// A tile size the open accepts can still be more than the process may allocate; the reads must
// then fail like any other, not throw through the C interface and abort the caller. The child
// process runs with its address space capped; sanitizers and valgrind manage memory themselves.
TEST(TileFetch, TilesLargerThanMemoryFailInsteadOfAborting) {
    if (tarntest::MemoryIsInstrumented())
        GTEST_SKIP() << "memory is managed by the instrumentation";
    GTEST_FLAG_SET(death_test_style,
                   "threadsafe");  // a thread of an earlier test may still be exiting
    tarnwriter::SlideSpec spec;
    spec.tileWidth = spec.tileHeight = 23000;  // 1.6 GB of pixels per tile
    tarnwriter::LayerSpec layer;
    layer.xCount = 2;
    layer.tiles = {Bytes(), Bytes(64, 0x42)};
    spec.layers = {layer};
    const tarntest::TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_EXIT(
        {
            tarntest::CapAddressSpace(size_t{256} << 20);
            const Fetched white = Fetch(slide.get(), true, 0, 0, 0);
            int code = 0;
            TilePixels(slide.get(), 0, 1, 0, &code);
            unsigned char* region = nullptr;
            const int regionCode =
                ZyGetRoiRgbOfSpecifyLayer(slide.get(), &region, 8, 8, 23000, 0, 0);
            exit(white.code == ZY_E_SHORT_READ && white.null && code == ZY_E_DECODE &&
                         regionCode == ZY_E_DECODE && region == nullptr
                     ? 0
                     : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
