// The convenience interface: tiles, regions and associated images as new buffers or null.
#include <gtest/gtest.h>

#include <cstring>

#include "FixedApi/ZyCommon.h"
#include "support/Reference.h"
#include "support/SlideFixtures.h"
#include "support/Slides.h"
#include "support/TestFiles.h"

using tarntest::OpenSlide;
using tarntest::Pixels;
using tarnwriter::Bytes;

namespace {

constexpr int kUnset = -12345;

TEST(TileExport, TilesReportTheHeaderTileSize) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    int width = kUnset, height = kUnset, size = kUnset;
    unsigned char* jpeg = GetSliceJpeg(slide.get(), 0, 3, 2, &width, &height, &size);
    ASSERT_NE(jpeg, nullptr);
    EXPECT_EQ(width, 128);  // the edge tile is reported at full size, bound area included
    EXPECT_EQ(height, 96);
    EXPECT_EQ(size, static_cast<int>(tarntest::JpegSlide().layout.tileSizes[0][11]));
    Dispose(jpeg);

    width = height = size = kUnset;
    EXPECT_EQ(GetSliceJpeg(slide.get(), 0, 4, 0, &width, &height, &size), nullptr);
    EXPECT_EQ(GetSliceJpeg(slide.get(), 0, 0, 3, &width, &height, &size), nullptr);
    EXPECT_EQ(width + height + size, 3 * kUnset);
    EXPECT_EQ(GetSliceJpeg(nullptr, 0, 0, 0, &width, &height, &size), nullptr);

    unsigned char* pixels = GetSliceBgr(slide.get(), 0, 3, 2, &width, &height);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(width, 128);
    EXPECT_EQ(height, 96);
    Dispose(pixels);
    EXPECT_EQ(GetSliceBgr(nullptr, 0, 0, 0, &width, &height), nullptr);
}

TEST(TileExport, Regions) {
    OpenSlide slide(tarntest::JpegSlidePath().c_str());
    ASSERT_TRUE(slide);
    for (auto [x, y, w, h] :
         {std::array<int, 4>{-1, 0, 5, 5}, {0, -1, 5, 5}, {0, 0, 0, 5}, {0, 0, 5, 0}}) {
        int size = kUnset;
        EXPECT_EQ(GetRoiSliceBgr(slide.get(), 0, x, y, w, h), nullptr);
        EXPECT_EQ(GetRoiSliceJpeg(slide.get(), 0, x, y, w, h, &size), nullptr);
        EXPECT_EQ(size, kUnset);
    }
    EXPECT_EQ(GetRoiSliceBgr(nullptr, 0, 0, 0, 1, 1), nullptr);

    int size = 0;
    unsigned char* one = GetRoiSliceJpeg(slide.get(), 0, 0, 0, 1, 1, &size);
    ASSERT_NE(one, nullptr);
    int width = 0, height = 0;
    tarntest::PlainJpegDecode(one, static_cast<size_t>(size), &width, &height);
    EXPECT_EQ(width, 1);
    EXPECT_EQ(height, 1);
    Dispose(one);

    // Past the right and bottom edge is accepted; the part beyond the grid is white.
    unsigned char* edge = GetRoiSliceBgr(slide.get(), 0, 500, 280, 40, 30);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge[(29 * 40 + 39) * 3], 0xFF);
    Dispose(edge);
    unsigned char* edgeJpeg = GetRoiSliceJpeg(slide.get(), 0, 500, 280, 40, 30, &size);
    EXPECT_NE(edgeJpeg, nullptr);
    Dispose(edgeJpeg);
}

Bytes Copy(const unsigned char* data, size_t size) {
    return Bytes(data, data + size);
}

TEST(AssociatedExport, StoredJpegsAndFourBytePixels) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.label = tarnwriter::JpegImage(tarnwriter::RenderTissue(0, 0, 30, 20, 1.0, 3));
    spec.macrograph = tarnwriter::JpegImage(tarnwriter::RenderTissue(0, 0, 50, 10, 1.0, 4));
    const tarntest::TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);

    int width = 0, height = 0, size = 0;
    unsigned char* label = GetLabelJpeg(slide.get(), &width, &height, &size);
    unsigned char* again = GetLabelJpeg(slide.get(), &width, &height, &size);
    ASSERT_NE(label, nullptr);
    EXPECT_NE(label, again);
    EXPECT_EQ(Copy(label, size), spec.label.data);
    EXPECT_EQ(Copy(again, size), spec.label.data);
    EXPECT_EQ(width, 30);
    EXPECT_EQ(height, 20);
    Dispose(label);
    Dispose(again);

    unsigned char* macro = GetMacrographJpeg(slide.get(), &width, &height, &size);
    ASSERT_NE(macro, nullptr);
    EXPECT_EQ(Copy(macro, size), spec.macrograph.data);
    EXPECT_EQ(width, 50);
    Dispose(macro);

    for (int which = 0; which < 3; ++which) {
        unsigned char* abgr = which == 0   ? GetLabelAbgr(slide.get(), &width, &height)
                              : which == 1 ? GetMacrographAbgr(slide.get(), &width, &height)
                                           : GetThumbnailAbgr(slide.get(), &width, &height);
        ASSERT_NE(abgr, nullptr);
        const ZyImageInfo* image = which == 2 ? slide->ThumbImage : slide->MacroImages[which];
        EXPECT_EQ(width, static_cast<int>(image->Width));
        EXPECT_EQ(height, static_cast<int>(image->Height));
        for (size_t i = 0; i < size_t(width) * height; ++i) {
            ASSERT_EQ(memcmp(&abgr[4 * i], &image->Pixels[3 * i], 3), 0) << which << " " << i;
            ASSERT_EQ(abgr[4 * i + 3], 0xFF);
        }
        Dispose(abgr);
    }

    unsigned char* thumb = GetThumbnailJpeg(slide.get(), &width, &height, &size);
    ASSERT_NE(thumb, nullptr);
    int decodedWidth = 0, decodedHeight = 0;
    tarntest::PlainJpegDecode(thumb, size, &decodedWidth, &decodedHeight);
    EXPECT_EQ(decodedWidth, width);
    EXPECT_EQ(decodedHeight, height);
    Dispose(thumb);
}

TEST(AssociatedExport, MissingImagesGiveNullAndLeaveOutputsAlone) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.personInfo = false;
    spec.labels = false;
    spec.thumbnailFormat = 7;  // stored, but in no format the library decodes
    const tarntest::TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    int width = kUnset, height = kUnset, size = kUnset;
    EXPECT_EQ(GetLabelJpeg(slide.get(), &width, &height, &size), nullptr);
    EXPECT_EQ(GetLabelAbgr(slide.get(), &width, &height), nullptr);
    EXPECT_EQ(GetMacrographJpeg(slide.get(), &width, &height, &size), nullptr);
    EXPECT_EQ(GetMacrographAbgr(slide.get(), &width, &height), nullptr);
    EXPECT_EQ(GetThumbnailJpeg(slide.get(), &width, &height, &size), nullptr);
    EXPECT_EQ(GetThumbnailAbgr(slide.get(), &width, &height), nullptr);
    EXPECT_EQ(width + height + size, 3 * kUnset);
    EXPECT_EQ(GetThumbnailJpeg(nullptr, &width, &height, &size), nullptr);
    EXPECT_EQ(GetLabelAbgr(nullptr, &width, &height), nullptr);
}

TEST(AssociatedExport, FourBytePixelsKeepColourOrder) {
    unsigned char bgr[] = {1, 2, 3, 4, 5, 6};
    unsigned char out[8];
    memset(out, 0, sizeof out);
    Bgr2Argb(bgr, 2, 1, out);
    const unsigned char expected[] = {1, 2, 3, 255, 4, 5, 6, 255};
    EXPECT_EQ(memcmp(out, expected, 8), 0);
    Bgr2Argb(bgr, 0, 1, out);
    Bgr2Argb(bgr, 2, -1, out);
    EXPECT_EQ(memcmp(out, expected, 8), 0);
}

}  // namespace
