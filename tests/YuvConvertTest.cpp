// YUV 4:2:0 to packed pixels: the integer formula, the colour lookup, every byte layout, odd
// sizes and sub-rectangles, checked against a plain per-pixel reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "FixedApi/RecordViews.h"
#include "DecodeHevc/HevcDecoder.h"
#include "DecodeTarnCxx.h"
#include "HevcTestSupport.h"

namespace {

using hevctest::Bytes;
using hevctest::ChannelTable;

Bytes RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(count);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

size_t PlanarBytes(int width, int height) {
    const size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
    return static_cast<size_t>(width) * height + 2 * chroma;
}

hevctest::Planes PlanesOf(const Bytes& yuv, int width, int height) {
    const int cw = (width + 1) / 2;
    const uint8_t* u = yuv.data() + static_cast<size_t>(width) * height;
    const uint8_t* v = u + static_cast<size_t>(cw) * ((height + 1) / 2);
    return {{yuv.data(), u, v}, {width, cw, cw}};
}

const int kAllSpaces[] = {CS_RGB24, CS_BGR24, CS_ARGB, CS_RGBA, CS_ABGR, CS_BGRA, 0, 1, 99};

TEST(YuvConvert, KnownSamplesGiveKnownColours) {
    struct Case {
        uint8_t y, u, v;
        uint8_t r, g, b;
    };
    const Case cases[] = {
        {16, 128, 128, 0, 0, 0},         // black
        {235, 128, 128, 255, 255, 255},  // white: 298 * 219 + 128 = 65,390, shifted 255
        {128, 128, 128, 130, 130, 130},
        {255, 255, 255, 255, 125, 255},  // red and blue clamped from 481 and 534
        {16, 0, 0, 0, 154, 0},           // red and blue clamped from below, each by itself
    };
    auto table = std::make_unique<ChannelTable>(hevctest::kStraight);
    const hevctest::GlobalTable global(table->table());
    for (const Case& c : cases) {
        uint8_t yuv[3] = {c.y, c.u, c.v};
        uint8_t out[3] = {};
        ASSERT_EQ(Yuv420pRgb(yuv, out, 1, 1, CS_RGB24), 3);
        const auto expected = table->Correct(c.r, c.g, c.b);
        EXPECT_EQ(out[0], expected[0]) << int{c.y} << "," << int{c.u} << "," << int{c.v};
        EXPECT_EQ(out[1], expected[1]) << int{c.y} << "," << int{c.u} << "," << int{c.v};
        EXPECT_EQ(out[2], expected[2]) << int{c.y} << "," << int{c.u} << "," << int{c.v};
    }
}

TEST(YuvConvert, ResultSizesAndAlpha) {
    const int w = 256, h = 256;
    Bytes yuv = RandomBytes(PlanarBytes(w, h), 1);
    auto table = std::make_unique<ChannelTable>(hevctest::kStraight);
    const hevctest::GlobalTable global(table->table());
    Bytes out(static_cast<size_t>(w) * h * 4, 0);
    EXPECT_EQ(Yuv420pRgb(yuv.data(), out.data(), w, h, CS_BGR24), 196608);
    EXPECT_EQ(Yuv420pRgb(yuv.data(), out.data(), w, h, CS_BGRA), 262144);
    for (size_t i = 3; i < out.size(); i += 4)
        ASSERT_EQ(out[i], 255) << i;
}

TEST(YuvConvert, OddSizesReadTheirOwnChromaSamples) {
    auto table = std::make_unique<ChannelTable>(hevctest::kStraight);
    const hevctest::GlobalTable global(table->table());
    const std::pair<int, int> sizes[] = {{1, 1}, {1, 7}, {7, 1}, {3, 3}, {5, 2}, {17, 9}, {33, 31}};
    uint32_t seed = 10;
    for (const auto& [w, h] : sizes) {
        const Bytes yuv = RandomBytes(PlanarBytes(w, h), ++seed);
        const Bytes expected =
            hevctest::ReferenceConvert(PlanesOf(yuv, w, h), *table, 0, 0, w, h, CS_BGR24);
        Bytes out(expected.size() + 16, 0xEE);
        ASSERT_EQ(Yuv420pRgb(const_cast<uint8_t*>(yuv.data()), out.data(), w, h, CS_BGR24),
                  static_cast<int>(expected.size()));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << w << "x" << h;
        for (size_t i = expected.size(); i < out.size(); ++i)
            ASSERT_EQ(out[i], 0xEE) << "written past the end for " << w << "x" << h;
    }
}

// The region path: any rectangle of a picture with padded planes, into rows with a gap, through
// both kinds of lookup, in every layout (0, 1 and 99 have none of their own: R, G, B, A). The
// table takes each output channel from another input channel, so swapped table indices, swapped
// planes and misplaced bytes all show.
TEST(YuvConvert, RectanglesOfPaddedPicturesMatchTheReference) {
    const int w = 45, h = 27, stride[3] = {64, 32, 40};
    const Bytes luma = RandomBytes(static_cast<size_t>(stride[0]) * h, 3);
    const Bytes u = RandomBytes(static_cast<size_t>(stride[1]) * ((h + 1) / 2), 4);
    const Bytes v = RandomBytes(static_cast<size_t>(stride[2]) * ((h + 1) / 2), 5);
    tarn::YuvView picture;
    picture.plane[0] = luma.data();
    picture.plane[1] = u.data();
    picture.plane[2] = v.data();
    std::copy(stride, stride + 3, picture.stride);
    picture.width = w;
    picture.height = h;
    const hevctest::Planes planes{{luma.data(), u.data(), v.data()},
                                  {stride[0], stride[1], stride[2]}};

    auto table = std::make_unique<ChannelTable>(std::array<int, 3>{1, 2, 0});
    const std::vector<uint32_t> packed = table->Packed();
    tarn::ColorLookup byPlanes;
    byPlanes.table = tarn::AsCore(table->table());
    tarn::ColorLookup byPacked;
    byPacked.packed = packed.data();

    struct Rect {
        int x, y, w, h;
    };
    const Rect rects[] = {{0, 0, w, h},   {1, 1, 1, 1},   {1, 2, 44, 25}, {3, 5, 10, 7},
                          {44, 26, 1, 1}, {0, 13, 2, 14}, {7, 0, 30, 1}};
    for (const tarn::ColorLookup& lookup : {byPlanes, byPacked})
        for (int space : kAllSpaces) {
            // Callers' numbers reach the conversion as the layout they stand for.
            const tarn::PackedLayout layout = tarn::KnownLayout(space);
            const int bpp = tarn::BytesPerPixel(layout);
            for (const Rect& r : rects) {
                const Bytes expected =
                    hevctest::ReferenceConvert(planes, *table, r.x, r.y, r.w, r.h, space);
                const size_t rowBytes = static_cast<size_t>(r.w) * bpp, dstStride = rowBytes + 5;
                Bytes out(dstStride * r.h, 0xEE);
                tarn::ConvertYuvRect(picture, lookup, r.x, r.y, r.w, r.h, layout, out.data(),
                                     dstStride);
                for (int row = 0; row < r.h; ++row) {
                    const uint8_t* got = out.data() + row * dstStride;
                    ASSERT_TRUE(std::equal(got, got + rowBytes, expected.begin() + row * rowBytes))
                        << "space " << space << " rect " << r.x << "," << r.y << " " << r.w << "x"
                        << r.h << " row " << row << (lookup.packed ? " packed" : " planes");
                    ASSERT_TRUE(std::all_of(got + rowBytes, got + dstStride, [](uint8_t b) {
                        return b == 0xEE;
                    })) << "row gap written";
                }
            }
        }

    // A rectangle reaching outside the picture is not converted at all.
    Bytes out(64 * 3, 0xEE);
    tarn::ConvertYuvRect(picture, byPlanes, 40, 0, 6, 1, tarn::PackedLayout::Bgr24, out.data(),
                         out.size());
    tarn::ConvertYuvRect(picture, byPlanes, 0, 26, 1, 2, tarn::PackedLayout::Bgr24, out.data(),
                         out.size());
    tarn::ConvertYuvRect(picture, byPlanes, -1, 0, 1, 1, tarn::PackedLayout::Bgr24, out.data(),
                         out.size());
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; }));
}

TEST(YuvConvert, RefusesWithoutTableAndOnBadArguments) {
    Bytes yuv = RandomBytes(PlanarBytes(4, 4), 6);
    Bytes out(4 * 4 * 4, 0xEE);
    {
        const hevctest::GlobalTable none(nullptr);
        EXPECT_EQ(Yuv420pRgb(yuv.data(), out.data(), 4, 4, CS_BGR24), -1);
    }
    auto table = std::make_unique<ChannelTable>(hevctest::kStraight);
    const hevctest::GlobalTable global(table->table());
    EXPECT_EQ(Yuv420pRgb(nullptr, out.data(), 4, 4, CS_BGR24), -1);
    EXPECT_EQ(Yuv420pRgb(yuv.data(), nullptr, 4, 4, CS_BGR24), -1);
    EXPECT_EQ(Yuv420pRgb(yuv.data(), out.data(), 0, 4, CS_BGR24), -1);
    EXPECT_EQ(Yuv420pRgb(yuv.data(), out.data(), 4, -4, CS_BGR24), -1);
    // The byte count would not fit in the int result.
    EXPECT_EQ(Yuv420pRgb(yuv.data(), out.data(), 32768, 32768, CS_BGRA), -1);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; }));
}

}  // namespace
