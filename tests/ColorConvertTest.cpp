// RGB/HSV conversions and the gamma table: the values that colour tables depend on.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "DecodeTarnCxx.h"

namespace {

struct Hsv {
    float h, s, v;
};

Hsv ToHsv(unsigned char r, unsigned char g, unsigned char b, float sh = 1, float ss = 1,
          float sv = 1) {
    unsigned char rgb[3] = {r, g, b};
    float scale[3] = {sh, ss, sv};
    float hsv[3] = {-1, -1, -1};
    Rgb2Hsv(rgb, scale, hsv);
    return {hsv[0], hsv[1], hsv[2]};
}

std::array<int, 3> ToRgb(float h, float s, float v, float s0 = 1, float s1 = 1, float s2 = 1) {
    float hsv[3] = {h, s, v};
    float scale[3] = {s0, s1, s2};
    unsigned char rgb[3] = {99, 99, 99};
    Hsv2Rgb(hsv, scale, rgb);
    return {rgb[0], rgb[1], rgb[2]};
}

TEST(Rgb2Hsv, UsesTheLibraryHueOffsetsAndLetsRedWinTies) {
    const Hsv green = ToHsv(0, 255, 0);
    EXPECT_FLOAT_EQ(green.h, 119.0f);
    EXPECT_FLOAT_EQ(green.s, 1.0f);
    EXPECT_FLOAT_EQ(green.v, 1.0f);
    EXPECT_FLOAT_EQ(ToHsv(0, 0, 255).h, 239.0f);
    EXPECT_FLOAT_EQ(ToHsv(255, 0, 128).h, 328.88235f);  // 359 - 30.11765
    EXPECT_FLOAT_EQ(ToHsv(255, 255, 0).h, 60.0f);       // red wins against green
    const Hsv grey = ToHsv(128, 128, 128);
    EXPECT_EQ(grey.h, 0.0f);
    EXPECT_EQ(grey.s, 0.0f);
    EXPECT_FLOAT_EQ(grey.v, 0.5019608f);
}

TEST(Rgb2Hsv, ScalesThenClampsEachComponent) {
    const Hsv red = ToHsv(255, 0, 0, 2, 0.5f, 0.5f);
    EXPECT_EQ(red.h, 0.0f);
    EXPECT_FLOAT_EQ(red.s, 0.5f);
    EXPECT_FLOAT_EQ(red.v, 0.5f);
    const Hsv blue = ToHsv(0, 0, 255, 2, 1, 1);
    EXPECT_EQ(blue.h, 359.0f);
    EXPECT_EQ(blue.s, 1.0f);
    EXPECT_EQ(blue.v, 1.0f);
    const Hsv big = ToHsv(0, 0, 255, std::numeric_limits<float>::infinity(), 1e30f, -3.0f);
    EXPECT_EQ(big.h, 359.0f);
    EXPECT_EQ(big.s, 1.0f);
    EXPECT_EQ(big.v, 0.0f);
}

TEST(Hsv2Rgb, SectorsGreyAndOutOfRangeHues) {
    EXPECT_EQ(ToRgb(119, 1, 1), (std::array<int, 3>{4, 255, 0}));  // sector 1, f = 0.98333
    EXPECT_EQ(ToRgb(360, 1, 1), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(ToRgb(-1, 1, 1), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(ToRgb(0, 0, 0.5f), (std::array<int, 3>{127, 127, 127}));
    EXPECT_EQ(ToRgb(0, 0, 0.5f, 1, 0.5f, 2), (std::array<int, 3>{127, 63, 254}));
    EXPECT_EQ(ToRgb(300, 0.5f, 1), (std::array<int, 3>{255, 127, 255}));  // sector 5
}

// Float-to-integer conversions follow one rule everywhere: NaN gives 0, and values beyond the
// integer range saturate.
TEST(Hsv2Rgb, NonFiniteInputsGiveDefinedBytes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(ToRgb(nan, 1, 1), (std::array<int, 3>{255, 0, 0}));  // sector 0, t and p 0
    EXPECT_EQ(ToRgb(1e30f, 1, 1), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(ToRgb(0, 0, nan), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(ToRgb(0, 0, 1, nan, 1e30f, -1e30f), (std::array<int, 3>{0, 255, 0}));
}

TEST(ScalarRgb, TruncatesAndClamps) {
    EXPECT_EQ(ScalarRgb(200, 1.5f), 255);
    EXPECT_EQ(ScalarRgb(200, -1.0f), 0);
    EXPECT_EQ(ScalarRgb(255, 0.5f), 127);
    EXPECT_EQ(ScalarRgb(3, -0.2f), 0);
    EXPECT_EQ(ScalarRgb(255, std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(ScalarRgb(1, std::numeric_limits<float>::infinity()), 255);
    EXPECT_EQ(ScalarRgb(1, -std::numeric_limits<float>::infinity()), 0);
}

TEST(ReturnMaxMin, KeepTheLaterOrEarlierOfCloseArguments) {
    EXPECT_EQ(ReturnMax(0.5f, 0.5000005f, 0.1f), 0.5000005f);
    EXPECT_EQ(ReturnMax(0.5000005f, 0.5f, 0.1f), 0.5f);
    EXPECT_EQ(ReturnMin(0.5f, 0.5000005f, 0.9f), 0.5f);
    EXPECT_EQ(ReturnMin(0.5000005f, 0.5f, 0.9f), 0.5000005f);
}

TEST(GammaTableInit, KnownEntriesAndUnusableGammas) {
    unsigned char table[256];
    GammaTableInit(2.2f, table);
    EXPECT_EQ(table[0], 14);
    EXPECT_EQ(table[1], 24);
    EXPECT_EQ(table[128], 186);
    EXPECT_EQ(table[255], 255);
    for (float gamma : {1.0f, 0.0f, -2.0f, std::numeric_limits<float>::quiet_NaN()}) {
        GammaTableInit(gamma, table);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(table[i], i) << "gamma " << gamma;
    }
    GammaTableInit(2.2f, nullptr);  // ignored
}

TEST(Conversions, NullPointersAreIgnored) {
    unsigned char rgb[3] = {1, 2, 3};
    float values[3] = {1, 1, 1};
    Rgb2Hsv(nullptr, values, values);
    Rgb2Hsv(rgb, nullptr, values);
    Hsv2Rgb(values, values, nullptr);
    Hsv2Rgb(nullptr, values, rgb);
    EXPECT_EQ(rgb[0], 1);
    EXPECT_EQ(values[0], 1.0f);
}

}  // namespace
