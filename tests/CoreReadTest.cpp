// The core on its own: slides opened into the core and read through the read service, with no
// call of either interface, and the statuses and error record the core speaks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Common/Status.h"
#include "Core/Slide.h"
#include "DecodeJpeg/JpegCodec.h"
#include "DecodeTarn.h"
#include "FixedApi/StatusCodes.h"
#include "Service/Reads.h"
#include "support/SlideFixtures.h"
#include "support/TestFiles.h"

namespace {

using tarn::Extent;
using tarn::PixelFormat;
using tarn::Status;

struct CoreSlide {
    explicit CoreSlide(const char* path) : slide(tarn::OpenSlide(path, &failure)) {}
    ~CoreSlide() { tarn::CloseSlide(slide); }
    tarn::OpenFailure failure;
    tarn::Slide* slide;
};

std::vector<uint8_t> Area(const tarn::ReadContext& read, int64_t x, int64_t y, int64_t w, int64_t h,
                          Extent extent, PixelFormat format, Status* status) {
    const size_t stride = static_cast<size_t>(w) * static_cast<size_t>(tarn::BytesPerPixel(format));
    std::vector<uint8_t> out(stride * static_cast<size_t>(h), 0x5A);
    *status = tarn::ReadArea(read, 0, x, y, w, h, extent, out.data(), stride, format);
    return out;
}

TEST(CoreStatus, EachStatusHasATextOfItsOwn) {
    std::set<std::string> texts;
    for (int s = static_cast<int>(Status::Ok); s <= static_cast<int>(Status::Refused); ++s)
        texts.insert(tarn::StatusText(static_cast<Status>(s)));
    EXPECT_EQ(texts.size(), static_cast<size_t>(Status::Refused) + 1);
    EXPECT_EQ(texts.count("unknown status"), 0U);
}

// One failure, several codes: the mapping decides per call, and only there.
TEST(CoreStatus, TheFixedMappingDependsOnTheCall) {
    using tarn::FixedCall;
    using tarn::FixedCode;
    EXPECT_EQ(FixedCode(Status::FileChanged, FixedCall::TileFetch), ZY_E_SHORT_READ);
    EXPECT_EQ(FixedCode(Status::FileChanged, FixedCall::DecodedTile), ZY_E_SHORT_READ);
    EXPECT_EQ(FixedCode(Status::FileChanged, FixedCall::Region), ZY_E_DECODE);
    EXPECT_EQ(FixedCode(Status::NoMemory, FixedCall::Records), ZY_E_SHORT_READ);
    EXPECT_EQ(FixedCode(Status::NoMemory, FixedCall::DecodedTile), ZY_E_DECODE);
    EXPECT_EQ(FixedCode(Status::ShortRead, FixedCall::Region), ZY_E_DECODE);
    EXPECT_EQ(FixedCode(Status::BadRegion, FixedCall::Region), ZY_E_REGION);
    EXPECT_EQ(FixedCode(Status::HevcFailed, FixedCall::TileFetch), ZY_E_HEVC);
    EXPECT_EQ(FixedCode(Status::Ok, FixedCall::Region), ZY_OK);
    for (int s = 1; s <= static_cast<int>(Status::Refused); ++s)
        EXPECT_LT(FixedCode(static_cast<Status>(s), FixedCall::Records), 0) << s;
}

// Regions anywhere in level pixels, with the two extents' outsides, tiles as stored and decoded,
// and the export JPEG, all of one and the same pixels.
TEST(CoreRead, TheServiceReadsRegionsTilesAndExportsOfOneSlide) {
    CoreSlide core(tarntest::JpegSlidePath().c_str());
    ASSERT_NE(core.slide, nullptr);
    const tarn::SlideReader reader(*core.slide);
    const tarn::ReadContext& read = reader.context();
    ASSERT_EQ(read.layout->layerCount, 2U);
    Status status = Status::Undecodable;

    // Tile (2, 1) of 128 x 96 three ways.
    const std::vector<uint8_t> area =
        Area(read, 256, 96, 128, 96, Extent::Grid, PixelFormat::Bgr, &status);
    ASSERT_EQ(status, Status::Ok);
    std::vector<uint8_t> tile(area.size());
    ASSERT_EQ(tarn::ReadTilePixels(read, 0, 2, 1, tile.data(), 128 * 3, PixelFormat::Bgr),
              Status::Ok);
    EXPECT_EQ(tile, area);
    unsigned char* bytes = nullptr;
    size_t size = 0;
    ASSERT_EQ(tarn::ReadTileBytes(read, 0, 2, 1, &bytes, &size), Status::Ok);
    ASSERT_GT(size, 2U);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    free(bytes);
    ASSERT_EQ(tarn::ReadTileBytes(read, 0, 2, 2, &bytes, &size), Status::Ok);  // tile 10: empty
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(size, 0U);

    // The export JPEG is the region's pixels at the export quality.
    unsigned char* jpeg = nullptr;
    int length = 0;
    ASSERT_EQ(tarn::ExportJpeg(read, 0, 256, 96, 128, 96, &jpeg, &length), Status::Ok);
    unsigned char* expected = nullptr;
    const int expectedLength =
        tarn::EncodeJpegBgr(area.data(), 128, 96, tarn::kExportQuality, &expected);
    ASSERT_EQ(length, expectedLength);
    EXPECT_EQ(memcmp(jpeg, expected, static_cast<size_t>(length)), 0);
    free(jpeg);
    free(expected);

    // Beyond the grid: white and opaque; beyond the picture from anywhere, even far outside:
    // transparent in four-byte layouts.
    const std::vector<uint8_t> grid =
        Area(read, 500, 280, 20, 20, Extent::Grid, PixelFormat::Rgba, &status);
    ASSERT_EQ(status, Status::Ok);
    EXPECT_EQ(grid.back(), 0xFF);
    EXPECT_EQ(grid[(19 * 20 + 19) * 4 + 3], 0xFF);
    const std::vector<uint8_t> far =
        Area(read, -(int64_t{1} << 62), 0, 8, 8, Extent::Picture, PixelFormat::Bgra, &status);
    ASSERT_EQ(status, Status::Ok);
    EXPECT_EQ(far, std::vector<uint8_t>(far.size(), 0));
    const std::vector<uint8_t> inside =
        Area(read, 0, 0, 132, 96, Extent::Picture, PixelFormat::Rgb, &status);
    ASSERT_EQ(status, Status::Ok);
    const std::vector<uint8_t> edge =
        Area(read, -4, -4, 136, 100, Extent::Picture, PixelFormat::Rgb, &status);
    ASSERT_EQ(status, Status::Ok);
    for (size_t row = 0; row < 96; ++row)
        ASSERT_EQ(memcmp(&edge[((row + 4) * 136 + 4) * 3], &inside[row * 132 * 3], 132 * 3), 0);
    EXPECT_EQ(edge[0], 0xFF);
}

// A codec's failure reaches the call's error record with its status, its own words and the mark
// that the fixed interface prints them; a picture read says where it was.
TEST(CoreRead, ACodecFailureTravelsInTheErrorRecord) {
    const tarntest::TempFile broken(tarntest::WithBrokenTile(tarntest::JpegSlide(), 1));
    CoreSlide core(broken.c_str());
    ASSERT_NE(core.slide, nullptr);
    const tarn::SlideReader reader(*core.slide);
    std::vector<uint8_t> out(300 * 50 * 3);
    EXPECT_EQ(tarn::ReadPicture(reader.context(), 0, 0, 0, 300, 50, out.data(), 300 * 3,
                                PixelFormat::Bgr),
              Status::Undecodable);
    const tarn::Error& error = reader.context().failure->error();
    EXPECT_EQ(error.status, Status::Undecodable);
    EXPECT_TRUE(error.loud);
    const std::string text = error.text;
    const std::string head =
        "cannot read level 0 at (0, 0): tile (1, 0) of level 0 does not decode: ";
    EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
    EXPECT_GT(text.size(), head.size()) << "libjpeg's words follow";
}

// A file removed under an open slide is a changed file, never a short read.
TEST(CoreRead, AFileGoneIsAChangedFile) {
    const tarntest::TempFile copy(tarntest::JpegSlide().bytes);
    CoreSlide core(copy.c_str());
    ASSERT_NE(core.slide, nullptr);
    ASSERT_EQ(unlink(copy.c_str()), 0);
    const tarn::SlideReader reader(*core.slide);
    unsigned char* bytes = nullptr;
    size_t size = 0;
    EXPECT_EQ(tarn::ReadTileBytes(reader.context(), 0, 0, 0, &bytes, &size), Status::FileChanged);
    EXPECT_EQ(reader.context().failure->code(), Status::FileChanged);
}

}  // namespace
