// Regions against pixels assembled independently from individually decoded tiles.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "ColorCorrect/ColorTables.h"
#include "Service/Reads.h"
#include "FixedApi/Handles.h"
#include "DecodeTarn.h"
#include "DecodeTarnCxx.h"
#include "support/Reference.h"
#include "support/SlideFixtures.h"
#include "support/Slides.h"
#include "support/TestFiles.h"

using tarntest::OpenSlide;
using tarntest::Pixels;

namespace {

struct Rect {
    uint32_t x, y;
    int width, height;
};

Pixels Region(ZyTarnInfo* slide, const Rect& r, int layer, int* code) {
    unsigned char* data = nullptr;
    *code = ZyGetRoiRgbOfSpecifyLayer(slide, &data, r.width, r.height, r.x, r.y, layer);
    Pixels out;
    if (data != nullptr) out.assign(data, data + size_t(r.width) * r.height * 3);
    Dispose(data);
    return out;
}

// Regions of every kind on one layer, compared with the reference assembly.
void ExpectRegionsMatch(ZyTarnInfo* slide, int layer) {
    const ZyPicHead& head = *slide->PicHead;
    const ZyPicInfo& record = *slide->PicInfos[layer];
    const uint32_t tw = head.TileWidth, th = head.TileHeight;
    const uint32_t gw = tw * record.XCount, gh = th * record.YCount;
    const Pixels grid = tarntest::ReferenceLayer(slide, layer);

    std::vector<Rect> rects = {
        {0, 0, 1, 1},                                  // the top-left pixel
        {tw, 0, int(tw), int(th)},                     // exactly one tile
        {tw / 3, th / 2, int(tw), int(th)},            // straddling 2 x 2 tiles
        {0, 0, int(gw), int(gh)},                      // the whole grid
        {gw - 1, gh - 1, 1, 1},                        // the last pixel
        {gw - tw / 2, gh - th / 3, int(tw), int(th)},  // past the right and bottom
        {1, 1, int(gw), int(gh)},                      // the grid's size, shifted
        {tw - 1, th - 1, 2, 2},                        // four tiles, one pixel each
    };
    std::mt19937 random(7 + layer);
    for (int i = 0; i < 20; ++i) {
        const uint32_t x = random() % gw, y = random() % gh;
        rects.push_back({x, y, int(1 + random() % gw), int(1 + random() % gh)});
    }
    for (const Rect& r : rects) {
        int code = 0;
        const Pixels region = Region(slide, r, layer, &code);
        ASSERT_EQ(code, 0) << r.x << "," << r.y << " " << r.width << "x" << r.height;
        EXPECT_EQ(region, tarntest::Crop(grid, gw, gh, r.x, r.y, r.width, r.height))
            << "layer " << layer << " at " << r.x << "," << r.y << " " << r.width << "x"
            << r.height;
    }
}

TEST(Region, JpegSlideIsSeamlessAndExact) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    ExpectRegionsMatch(slide.get(), 0);
    ExpectRegionsMatch(slide.get(), 1);
}

TEST(Region, HevcSlidesAreSeamlessAndExact) {
    for (bool intra : {false, true}) {
        OpenSlide slide(tarntest::HevcSlidePath(intra).c_str());
        ASSERT_TRUE(slide);
        ExpectRegionsMatch(slide.get(), 0);
    }
}

TEST(Region, EmptyTilesAreWhiteNotCorrected) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    // Tile 5 is column 1, row 1.
    int code = 0;
    const Pixels region = Region(slide.get(), {128, 96, 128, 96}, 0, &code);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(region, Pixels(128 * 96 * 3, 0xFF));
}

TEST(Region, RequestsOutsideTheGridAreRefused) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    ZyTarnInfo* s = slide.get();
    const int gw = 4 * 128, gh = 3 * 96;
    unsigned char* data = reinterpret_cast<unsigned char*>(&data);  // must stay untouched
    unsigned char* const untouched = data;
    struct Case {
        int width, height;
        unsigned x, y;
        int layer, expected;
    };
    const Case cases[] = {
        {1, 1, 0, 0, -1, ZY_E_LAYER},
        {1, 1, 0, 0, 2, ZY_E_LAYER},
        {0, 1, 0, 0, 0, ZY_E_REGION},
        {1, 0, 0, 0, 0, ZY_E_REGION},
        {-5, 1, 0, 0, 0, ZY_E_REGION},
        {1, 1, unsigned(gw), 0, 0, ZY_E_REGION},
        {1, 1, 0, unsigned(gh), 0, ZY_E_REGION},
        {gw + 1, 1, 0, 0, 0, ZY_E_REGION},
        {1, gh + 1, 0, 0, 0, ZY_E_REGION},
        {1, 1, static_cast<unsigned>(-1), 0, 0, ZY_E_REGION},  // a negative origin
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZyGetRoiRgbOfSpecifyLayer(s, &data, c.width, c.height, c.x, c.y, c.layer),
                  c.expected)
            << c.width << "x" << c.height << " at " << c.x << "," << c.y << " layer " << c.layer;
        EXPECT_EQ(data, untouched);
    }
    EXPECT_EQ(ZyGetRoiRgbOfSpecifyLayer(nullptr, &data, 1, 1, 0, 0, 0), ZY_E_NULL);
    ZyTarnInfo incomplete = *s;
    incomplete.SliceInfos = nullptr;
    EXPECT_EQ(ZyGetRoiRgbOfSpecifyLayer(&incomplete, &data, 1, 1, 0, 0, 0), ZY_E_NULL);
    EXPECT_EQ(data, untouched);

    // The grid's full width from x = 0 is fine.
    ASSERT_EQ(ZyGetRoiRgbOfSpecifyLayer(s, &data, gw, 1, 0, 0, 0), 0);
    Dispose(data);
}

TEST(Region, ATileThatDoesNotDecodeFailsTheWholeRegion) {
    const tarntest::TempFile file(tarntest::WithBrokenTile(tarntest::JpegSlide(), 2));
    OpenSlide open(file);
    ASSERT_TRUE(open);
    int code = 0;
    EXPECT_TRUE(Region(open.get(), {0, 0, 512, 96}, 0, &code).empty());
    EXPECT_EQ(code, ZY_E_DECODE);
    // Regions away from the broken tile still read.
    Region(open.get(), {0, 96, 512, 96}, 0, &code);
    EXPECT_EQ(code, 0);
}

TEST(Region, TruncatedAndVanishedFilesFailWithoutReading) {
    const tarnwriter::SlideFile& slide = tarntest::JpegSlide();
    // The last tile of the last layer runs past the end of the file.
    const tarnwriter::Bytes cut(slide.bytes.begin(), slide.bytes.end() - 10);
    const tarntest::TempFile truncated(cut);
    OpenSlide open(truncated);
    ASSERT_TRUE(open);
    int code = 0;
    Region(open.get(), {0, 0, 256, 192}, 1, &code);
    EXPECT_EQ(code, ZY_E_DECODE);
    Region(open.get(), {0, 0, 128, 96}, 1, &code);
    EXPECT_EQ(code, 0);

    auto* file = new tarntest::TempFile(slide.bytes);
    OpenSlide gone(*file);
    ASSERT_TRUE(gone);
    delete file;  // the slide file disappears while the slide is open
    Region(gone.get(), {0, 0, 10, 10}, 0, &code);
    EXPECT_EQ(code, ZY_E_DECODE);
}

TEST(Region, UndefinedCompressionReadsNothing) {
    tarnwriter::Bytes bytes = tarntest::JpegSlide().bytes;
    tarnwriter::PutU32(bytes, 104, 2);
    const tarntest::TempFile file(bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);  // it still opens and describes itself
    char* description = GetDescription(slide.get());
    EXPECT_NE(description, nullptr);
    Dispose(description);
    int code = 0;
    EXPECT_TRUE(Region(slide.get(), {0, 0, 10, 10}, 0, &code).empty());
    EXPECT_EQ(code, ZY_E_DECODE);
}

// A handle the library did not open (here a copy) reads with the global table; when there is
// none, no pixels can be corrected and none are handed out, on JPEG and HEVC slides alike.
TEST(Region, CopiedHandleWithoutAGlobalTableGetsNoPixels) {
    for (const std::string& path : {tarntest::JpegSlidePath(), tarntest::HevcSlidePath(true)}) {
        OpenSlide slide(path.c_str());
        ASSERT_TRUE(slide);
        ZyTarnInfo copy = *slide.get();
        tarn::PublishColorTable(nullptr);
        int code = 0;
        EXPECT_TRUE(Region(&copy, {0, 0, 200, 100}, 0, &code).empty()) << path;
        EXPECT_EQ(code, ZY_E_DECODE);
        unsigned char* tile = nullptr;
        EXPECT_EQ(ZyGetRgbSliceOfSpecifyLayer(&copy, &tile, 0, 0, 0), ZY_E_DECODE) << path;
        Dispose(tile);
        // The slide's own handle still reads with its own table.
        Region(slide.get(), {0, 0, 200, 100}, 0, &code);
        EXPECT_EQ(code, 0);
    }
}

// Every layout the region path writes holds the blue-green-red pixels in its own byte order,
// alpha 255, over stored tiles, empty tiles and the white beyond the grid alike.
TEST(Region, EveryPixelFormatHoldsTheSamePixels) {
    using tarn::PixelFormat;
    for (const std::string& path : {tarntest::JpegSlidePath(), tarntest::HevcSlidePath(false)}) {
        OpenSlide slide(path.c_str());
        ASSERT_TRUE(slide);
        const tarn::FixedRead read(slide.get());
        const ZyPicHead& head = *slide->PicHead;
        const uint32_t gw = head.TileWidth * slide->PicInfos[0]->XCount;
        const uint32_t gh = head.TileHeight * slide->PicInfos[0]->YCount;
        const uint32_t x = head.TileWidth / 2, y = head.TileHeight / 3;
        const uint32_t w = gw - x + 7, h = gh - y + 5;  // reaches past the grid
        Pixels bgr(size_t{w} * h * 3);
        ASSERT_EQ(
            tarn::ReadArea(read.context(), 0, x, y, w, h, tarn::Extent::Grid, bgr.data(), w * 3),
            tarn::Status::Ok);
        int code = 0;
        ASSERT_EQ(bgr, Region(slide.get(), {x, y, int(w), int(h)}, 0, &code));
        for (PixelFormat format : {PixelFormat::Rgb, PixelFormat::Bgra, PixelFormat::Rgba}) {
            const size_t bytes = static_cast<size_t>(tarn::BytesPerPixel(format));
            const size_t stride = w * bytes + 5;  // rows with a gap after them
            Pixels out(stride * h, 0x5A);
            ASSERT_EQ(tarn::ReadArea(read.context(), 0, x, y, w, h, tarn::Extent::Grid, out.data(),
                                     stride, format),
                      tarn::Status::Ok);
            size_t mismatches = 0;
            for (size_t row = 0; row < h; ++row)
                for (size_t col = 0; col < w; ++col) {
                    const uint8_t* want = &bgr[(row * w + col) * 3];
                    const uint8_t* got = &out[row * stride + col * bytes];
                    const bool redFirst = tarn::RedFirst(format);
                    mismatches += got[0] != want[redFirst ? 2 : 0] || got[1] != want[1] ||
                                  got[2] != want[redFirst ? 0 : 2] || (bytes == 4 && got[3] != 255);
                }
            EXPECT_EQ(mismatches, 0U) << path << " format " << static_cast<int>(format);
            EXPECT_EQ(out[stride - 1], 0x5A);  // the gap is left alone
        }
    }
}

TEST(Region, ThreadsReadingOneHandleGetTheSameBytes) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    OpenSlide hevc(tarntest::HevcSlidePath(false).c_str());
    ASSERT_TRUE(slide);
    ASSERT_TRUE(hevc);
    const Rect rects[] = {{10, 20, 300, 200}, {200, 100, 312, 188}, {0, 0, 512, 288}};
    const Rect hevcRect{5, 7, 250, 100};
    std::vector<Pixels> expected;
    int code = 0;
    for (const Rect& r : rects)
        expected.push_back(Region(slide.get(), r, 0, &code));
    const Pixels expectedHevc = Region(hevc.get(), hevcRect, 0, &code);

    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 6; ++round) {
                int c = 0;
                const size_t i = (t + round) % 3;
                if (Region(slide.get(), rects[i], 0, &c) != expected[i]) ++mismatches[t];
                if (Region(hevc.get(), hevcRect, 0, &c) != expectedHevc) ++mismatches[t];
            }
        });
    for (std::thread& t : threads)
        t.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
