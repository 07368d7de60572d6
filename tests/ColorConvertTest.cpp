// RGB/HSV conversions and the gamma table: the values that colour tables depend on.
#include <gtest/gtest.h>

#include <array>
#include <limits>

#include "DecodeTarnCxx.h"

namespace {

using Rgb = std::array<int, 3>;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::array<float, 3> ToHsv(Rgb in, std::array<float, 3> scale = {1, 1, 1}) {
    unsigned char rgb[3] = {static_cast<unsigned char>(in[0]), static_cast<unsigned char>(in[1]),
                            static_cast<unsigned char>(in[2])};
    std::array<float, 3> hsv{-1, -1, -1};
    Rgb2Hsv(rgb, scale.data(), hsv.data());
    return hsv;
}

Rgb ToRgb(std::array<float, 3> hsv, std::array<float, 3> scale = {1, 1, 1}) {
    unsigned char rgb[3] = {99, 99, 99};
    Hsv2Rgb(hsv.data(), scale.data(), rgb);
    return {rgb[0], rgb[1], rgb[2]};
}

TEST(Rgb2Hsv, HueOffsetsTiesAndClamping) {
    EXPECT_EQ(ToHsv({0, 255, 0}), (std::array<float, 3>{119, 1, 1}));
    EXPECT_EQ(ToHsv({0, 0, 255}), (std::array<float, 3>{239, 1, 1}));
    EXPECT_FLOAT_EQ(ToHsv({255, 0, 128})[0], 328.88235f);               // 359 - 30.11765
    EXPECT_EQ(ToHsv({255, 255, 0}), (std::array<float, 3>{60, 1, 1}));  // red wins the tie
    EXPECT_EQ(ToHsv({128, 128, 128}), (std::array<float, 3>{0, 0, 128 / 255.0f}));
    EXPECT_EQ(ToHsv({255, 0, 0}, {2, 0.5f, 0.5f}), (std::array<float, 3>{0, 0.5f, 0.5f}));
    EXPECT_EQ(ToHsv({0, 0, 255}, {2, 1, 1}), (std::array<float, 3>{359, 1, 1}));
    EXPECT_EQ(ToHsv({0, 0, 255}, {kInf, 1e30f, -3}), (std::array<float, 3>{359, 1, 0}));
}

// Float-to-integer conversions follow one rule everywhere, table builder included: NaN gives 0
// and values beyond the integer range saturate.
TEST(Hsv2Rgb, SectorsGreyAndOutOfRangeHues) {
    EXPECT_EQ(ToRgb({119, 1, 1}), (Rgb{4, 255, 0}));  // sector 1, f = 0.98333
    EXPECT_EQ(ToRgb({300, 0.5f, 1}), (Rgb{255, 127, 255}));
    EXPECT_EQ(ToRgb({360, 1, 1}), (Rgb{0, 0, 0}));
    EXPECT_EQ(ToRgb({-1, 1, 1}), (Rgb{0, 0, 0}));
    EXPECT_EQ(ToRgb({1e30f, 1, 1}), (Rgb{0, 0, 0}));
    EXPECT_EQ(ToRgb({0, 0, 0.5f}), (Rgb{127, 127, 127}));
    EXPECT_EQ(ToRgb({0, 0, 0.5f}, {1, 0.5f, 2}), (Rgb{127, 63, 254}));
    EXPECT_EQ(ToRgb({kNan, 1, 1}), (Rgb{255, 0, 0}));  // sector 0 with t and p NaN
    EXPECT_EQ(ToRgb({0, 0, 1}, {kNan, 1e30f, -1e30f}), (Rgb{0, 255, 0}));
}

TEST(ScalarRgb, TruncatesAndClamps) {
    EXPECT_EQ(ScalarRgb(200, 1.5f), 255);
    EXPECT_EQ(ScalarRgb(200, -1.0f), 0);
    EXPECT_EQ(ScalarRgb(255, 0.5f), 127);
    EXPECT_EQ(ScalarRgb(255, kNan), 0);
    EXPECT_EQ(ScalarRgb(1, kInf), 255);
}

TEST(GammaTableInit, KnownEntriesAndUnusableGammas) {
    unsigned char table[256];
    GammaTableInit(2.2f, table);
    EXPECT_EQ((Rgb{table[0], table[1], table[128]}), (Rgb{14, 24, 186}));
    EXPECT_EQ(table[255], 255);
    for (float gamma : {1.0f, 0.0f, -2.0f, kNan}) {
        GammaTableInit(gamma, table);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(table[i], i) << "gamma " << gamma;
    }
}

}  // namespace
