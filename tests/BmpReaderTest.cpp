// BMP reading: the documented layout of the exported reader, its refusals of headers it cannot
// lay out safely, and the bounds-checked reader that the thumbnail uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "DecodeTarnCxx.h"
#include "TarnWriter.h"
#include "DecodeBmp/BmpReader.h"

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe(Bytes& data, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        data[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A BMP file image with stored pixel bytes 1, 2, 3, ... and filler 0xEE; `infoSize` > 40 puts
// the pixel array after a longer information header.
Bytes MakeBmp(int32_t width, int32_t height, int bits, uint32_t infoSize = 40) {
    const size_t row = (static_cast<size_t>(bits / 8) * std::abs(width) + 3) / 4 * 4;
    const size_t offset = 14 + infoSize;
    Bytes data(offset + row * std::abs(height), 0xEE);
    std::fill(data.begin(), data.begin() + offset, 0);
    data[0] = 'B';
    data[1] = 'M';
    PutLe(data, 2, static_cast<uint32_t>(data.size()), 4);
    PutLe(data, 10, static_cast<uint32_t>(offset), 4);
    PutLe(data, 14, infoSize, 4);
    PutLe(data, 18, static_cast<uint32_t>(width), 4);
    PutLe(data, 22, static_cast<uint32_t>(height), 4);
    PutLe(data, 26, 1, 2);
    PutLe(data, 28, static_cast<uint32_t>(bits), 2);
    uint8_t value = 1;
    for (size_t y = 0; y < static_cast<size_t>(std::abs(height)); ++y)
        for (size_t i = 0; i < static_cast<size_t>(bits / 8) * std::abs(width); ++i)
            data[offset + y * row + i] = value++;
    return data;
}

Bytes Pixels(unsigned char* pixels, size_t size) {
    Bytes copy(pixels, pixels + size);
    free(pixels);
    return copy;
}

TEST(Bmp, RowsArePaddedStoredBottomUpAndKeepTheirByteOrder) {
    Bytes bmp = MakeBmp(2, 2, 24);
    ASSERT_EQ(bmp.size(), 54u + 2 * 8);
    BmpInfo info{};
    unsigned char* out = GetRgb24FromBmp(bmp.data(), &info);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Pixels(out, 12), (Bytes{7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(info.biWidth, 2);
    EXPECT_EQ(info.biBitCount, 24);

    Bytes wide = MakeBmp(3, 1, 32);
    out = GetRgb24FromBmp(wide.data(), &info);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Pixels(out, 9), (Bytes{1, 2, 3, 5, 6, 7, 9, 10, 11}));

    uint8_t* bounded = nullptr;
    ASSERT_TRUE(tarn::ReadBmpBgr(bmp.data(), bmp.size(), 2, 2, &bounded));
    EXPECT_EQ(Pixels(bounded, 12), (Bytes{7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(tarn::ReadBmpBgr(wide.data(), wide.size(), 3, 1, &bounded));
    EXPECT_EQ(Pixels(bounded, 9), (Bytes{1, 2, 3, 5, 6, 7, 9, 10, 11}));
}

// Thumbnails as the slide writer stores them come back as the picture that was written.
TEST(Bmp, WrittenThumbnailsReadBack) {
    const tarnwriter::Image image = tarnwriter::RenderTissue(0, 0, 7, 5);
    for (int bits : {24, 32}) {
        tarnwriter::Bytes bmp = tarnwriter::EncodeBmp(image, bits);
        uint8_t* pixels = nullptr;
        ASSERT_TRUE(tarn::ReadBmpBgr(bmp.data(), bmp.size(), 7, 5, &pixels));
        EXPECT_EQ(Pixels(pixels, image.bgr.size()), image.bgr);
        BmpInfo info{};
        EXPECT_EQ(Pixels(GetRgb24FromBmp(bmp.data(), &info), image.bgr.size()), image.bgr);
    }
}

TEST(Bmp, ExportedReaderRefusesHeadersItCannotLayOut) {
    BmpInfo info{};
    info.biWidth = 77;
    EXPECT_EQ(GetRgb24FromBmp(nullptr, &info), nullptr);
    EXPECT_EQ(info.biWidth, 77);

    for (int bits : {0, 8, 16}) {
        Bytes bmp = MakeBmp(2, 2, 24);
        PutLe(bmp, 28, static_cast<uint32_t>(bits), 2);
        EXPECT_EQ(GetRgb24FromBmp(bmp.data(), &info), nullptr) << bits;
        EXPECT_EQ(info.biBitCount, bits);  // the header is still handed back
    }
    // 65536 x 65536 x 3 wraps to 0 in 32 bits; a negative height reads as about 4 billion rows.
    for (const auto& [width, height] : {std::pair{65536, 65536}, std::pair{2, -2}}) {
        Bytes bmp = MakeBmp(2, 2, 24);
        PutLe(bmp, 18, static_cast<uint32_t>(width), 4);
        PutLe(bmp, 22, static_cast<uint32_t>(height), 4);
        EXPECT_EQ(GetRgb24FromBmp(bmp.data(), &info), nullptr);
    }
    // Found by fuzzing: no columns but billions of rows is an empty image, returned at once.
    Bytes empty = MakeBmp(2, 2, 24);
    PutLe(empty, 18, 0, 4);
    PutLe(empty, 22, 0xF5F4FFFFU, 4);
    unsigned char* none = GetRgb24FromBmp(empty.data(), &info);
    EXPECT_NE(none, nullptr);
    free(none);
}

TEST(Bmp, PrintWritesTheSummaryWithoutLineFeed) {
    BmpInfo info{};
    info.biWidth = 256;
    info.biHeight = 192;
    info.biBitCount = 24;
    testing::internal::CaptureStdout();
    Print(&info);
    Print(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "width = 256, height = 192, bpp = 24");
}

TEST(Bmp, BoundedReaderTakesOnlyWhatTheThumbnailCanUse) {
    uint8_t* pixels = nullptr;
    // A longer information header moves the pixel array; the last row may lack its padding.
    Bytes v5 = MakeBmp(3, 2, 24, 124);
    ASSERT_TRUE(tarn::ReadBmpBgr(v5.data(), v5.size() - 3, 3, 2, &pixels));
    const Bytes expected = {10, 11, 12, 13, 14, 15, 16, 17, 18, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(Pixels(pixels, 18), expected);

    const Bytes good = MakeBmp(3, 2, 24);
    auto refused = [&](Bytes bmp, size_t length, uint32_t width, uint32_t height) {
        pixels = reinterpret_cast<uint8_t*>(&pixels);
        const bool ok = tarn::ReadBmpBgr(bmp.data(), length, width, height, &pixels);
        return !ok && pixels == reinterpret_cast<uint8_t*>(&pixels);
    };
    auto patched = [&](size_t at, uint32_t value, int bytes) {
        Bytes bmp = good;
        PutLe(bmp, at, value, bytes);
        return bmp;
    };
    EXPECT_TRUE(refused(good, good.size() - 4, 3, 2));  // truncated into the last row
    EXPECT_TRUE(refused(good, 50, 3, 2));               // truncated header
    EXPECT_TRUE(refused(good, good.size(), 3, 3));      // another size
    EXPECT_TRUE(refused(good, good.size(), 2, 2));
    EXPECT_TRUE(refused(patched(22, static_cast<uint32_t>(-2), 4), good.size(), 3, 2));  // top-down
    EXPECT_TRUE(refused(patched(30, 1, 4), good.size(), 3, 2));   // run-length compressed
    EXPECT_TRUE(refused(patched(28, 16, 2), good.size(), 3, 2));  // 16 bits per pixel
    EXPECT_TRUE(refused(patched(14, 12, 4), good.size(), 3, 2));  // an older, shorter header

    // The file header is not read, as by GetRgb24FromBmp: its magic and pixel offset change
    // nothing.
    for (const Bytes& bmp : {patched(0, 'X', 1), patched(10, 0, 4), patched(10, 0xFFFFFFF0u, 4)}) {
        ASSERT_TRUE(tarn::ReadBmpBgr(bmp.data(), bmp.size(), 3, 2, &pixels));
        EXPECT_EQ(Pixels(pixels, 18), expected);
    }
}

}  // namespace
