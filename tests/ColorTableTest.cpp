// Colour tables: known entries, whole tables against a plain evaluation of the correction chain,
// and correcting pixels through the global table.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "ColorCorrect/ColorLut.h"
#include "ColorCorrect/ColorTables.h"
#include "DecodeTarnCxx.h"

namespace {

using tarn::ColorParams;
using Rgb = std::array<int, 3>;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- A plain evaluation of the chain, one input at a time, written from the definition. ----

int ToInt(float x) {  // NaN to 0, saturating
    if (std::isnan(x)) return 0;
    if (x >= 2147483648.0f) return INT_MAX;
    if (x < -2147483648.0f) return INT_MIN;
    return static_cast<int>(x);
}

int ByteOf(float x) {
    return std::min(255, std::max(0, ToInt(x)));
}

bool Small(float x) {
    return static_cast<double>(x) <= 1e-6;
}
bool Big(float x) {
    return static_cast<double>(x) > 1e-6;
}

Rgb Reference(const ColorParams& p, const uint8_t gamma[256], int R, int G, int B) {
    int pre[3];
    for (int c = 0; c < 3; ++c) {
        float x =
            p.matrix[3 * c] * static_cast<float>(R) + p.matrix[3 * c + 1] * static_cast<float>(G);
        x = p.gains[c] * (x + p.matrix[3 * c + 2] * static_cast<float>(B));
        pre[c] = x < 0.0f ? 0 : x > 255.0f ? 255 : ToInt(x);
    }
    const float r = gamma[pre[0]] / 255.0f, g = gamma[pre[1]] / 255.0f, b = gamma[pre[2]] / 255.0f;
    float mx = static_cast<double>(r - g) >= 1e-6 ? r : g;
    if (!(static_cast<double>(mx - b) >= 1e-6)) mx = b;
    float mn = static_cast<double>(r - g) >= 1e-6 ? g : r;
    if (static_cast<double>(mn - b) >= 1e-6) mn = b;
    const float d = mx - mn;
    float h = 0.0f;
    if (Small(d)) {
        h = 0.0f;
    } else if (Small(std::fabs(r - mx))) {
        if (Big(g - b))
            h = 60.0f * ((g - b) / d);
        else if (Big(b - g))
            h = 359.0f + ((g - b) / d) * 60.0f;
    } else if (Small(std::fabs(g - mx))) {
        h = 119.0f + ((b - r) / d) * 60.0f;
    } else if (Small(std::fabs(b - mx))) {
        h = 239.0f + ((r - g) / d) * 60.0f;
    }
    float s = Small(mx) ? 0.0f : d / mx;
    float v = mx;
    h *= p.hsvScale[0];
    s *= p.hsvScale[1];
    v *= p.hsvScale[2];
    if (Big(h - 359.0f))
        h = 359.0f;
    else if (Small(h))
        h = 0.0f;
    if (Big(s - 1.0f))
        s = 1.0f;
    else if (Small(s))
        s = 0.0f;
    if (Big(v - 1.0f))
        v = 1.0f;
    else if (Small(v))
        v = 0.0f;

    if (Small(std::fabs(s))) {
        const int grey = ByteOf(255.0f * v);
        return {grey, grey, grey};
    }
    const float hh = h / 60.0f;
    const int i = ToInt(std::floor(hh));
    const float f = hh - static_cast<float>(i);
    const float pp = (1.0f - s) * v, q = (1.0f - s * f) * v, t = (1.0f - (1.0f - f) * s) * v;
    const float rows[6][3] = {{v, t, pp}, {q, v, pp}, {pp, v, t},
                              {pp, q, v}, {t, pp, v}, {v, pp, q}};
    if (i < 0 || i > 5) return {0, 0, 0};
    return {ByteOf(255.0f * rows[i][0]), ByteOf(255.0f * rows[i][1]), ByteOf(255.0f * rows[i][2])};
}

void ReferenceGamma(float gamma, uint8_t out[256]) {
    if (!(gamma > 0.0f)) gamma = 1.0f;
    for (int i = 0; i < 256; ++i)
        out[i] = static_cast<uint8_t>(
            ToInt(256.0f * powf((0.5f + i) / 256.0f, 1.0f / gamma) - 0.5f) & 0xFF);
}

ColorParams Neutral() {
    return tarn::NeutralColorParams();
}

ColorParams WithHsvScale(float h, float s, float v) {
    ColorParams p = Neutral();
    p.hsvScale[0] = h, p.hsvScale[1] = s, p.hsvScale[2] = v;
    return p;
}

ColorParams WithGains(float r, float g, float b) {
    ColorParams p = Neutral();
    p.gains[0] = r, p.gains[1] = g, p.gains[2] = b;
    return p;
}

// Holds a table for one test and releases it.
struct HeldTable {
    explicit HeldTable(const ColorParams& params) : lut(tarn::AcquireColorLut(params)) {}
    ~HeldTable() { tarn::ReleaseColorLut(lut); }
    Rgb Packed(int r, int g, int b) const {
        const uint32_t e = tarn::LookupOf(lut).packed[(r << 16) | (g << 8) | b];
        return {static_cast<int>(e >> 16 & 0xFF), static_cast<int>(e >> 8 & 0xFF),
                static_cast<int>(e & 0xFF)};
    }
    const tarn::ColorLut* lut;
};

TEST(ColorTable, NeutralParametersAreNotTheIdentity) {
    HeldTable table(Neutral());
    ASSERT_NE(table.lut, nullptr);
    EXPECT_EQ(table.Packed(0, 255, 0), (Rgb{4, 255, 0}));
    EXPECT_EQ(table.Packed(0, 0, 255), (Rgb{0, 4, 255}));
    EXPECT_EQ(table.Packed(255, 0, 128), (Rgb{255, 0, 132}));
    for (Rgb same :
         {Rgb{255, 0, 0}, Rgb{200, 100, 50}, Rgb{128, 128, 128}, Rgb{0, 0, 0}, Rgb{255, 255, 255}})
        EXPECT_EQ(table.Packed(same[0], same[1], same[2]), same);
}

TEST(ColorTable, SinglePrecisionResultsOfScaledParameters) {
    // The hue comes out as 19.999998, one step below exact arithmetic's (200, 80, 20).
    EXPECT_EQ(HeldTable(WithHsvScale(1, 1.2f, 1)).Packed(200, 100, 50), (Rgb{200, 79, 19}));
    EXPECT_EQ(HeldTable(WithGains(1.1f, 1, 1)).Packed(200, 100, 50), (Rgb{220, 99, 49}));
}

// ---- Whole tables, entry by entry, packed and exported forms. ----

struct TableCase {
    const char* name;
    ColorParams params;
};

ColorParams Gamma22() {
    ColorParams p = Neutral();
    p.gamma = 2.2f;
    return p;
}

ColorParams WildMatrix() {
    ColorParams p = Neutral();
    const float m[9] = {1.7f, -0.45f, 0.3f, -2.5f, 3.1f, 0.05f, 0.2f, 40.0f, -0.9f};
    memcpy(p.matrix, m, sizeof m);
    p.gains[2] = 0.8f;
    p.gamma = 0.6f;
    return p;
}

ColorParams NonFinite() {
    ColorParams p = Neutral();
    p.matrix[1] = kInf;    // red: inf * G, and 0 * inf = NaN for G = 0
    p.matrix[5] = -kInf;   // green: -inf * B
    p.gains[2] = kNan;     // blue: always NaN
    p.hsvScale[0] = kInf;  // hue 0 * inf = NaN
    p.hsvScale[1] = 1.3f;
    p.hsvScale[2] = kNan;
    return p;
}

class WholeTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(WholeTable, MatchesThePlainEvaluation) {
    const ColorParams& params = GetParam().params;
    HeldTable held(params);
    ASSERT_NE(held.lut, nullptr);
    const uint32_t* packed = tarn::LookupOf(held.lut).packed;
    const ColorCorrectTable* view = tarn::ExportedTable(held.lut);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(view->range[i], i);
    uint8_t gamma[256];
    ReferenceGamma(params.gamma, gamma);

    // Two threads halve the wall time; each counts its own mismatches.
    auto check = [&](int rBegin, int rEnd, int* mismatches) {
        for (int r = rBegin; r < rEnd; ++r)
            for (int g = 0; g < 256; ++g)
                for (int b = 0; b < 256; ++b) {
                    const Rgb want = Reference(params, gamma, r, g, b);
                    const uint32_t e = packed[(r << 16) | (g << 8) | b];
                    const Rgb fromPacked{static_cast<int>(e >> 16), static_cast<int>(e >> 8 & 0xFF),
                                         static_cast<int>(e & 0xFF)};
                    const Rgb fromPlanes{view->plane[0][r][g][b], view->plane[1][r][g][b],
                                         view->plane[2][r][g][b]};
                    if ((fromPacked != want || fromPlanes != want) && ++*mismatches <= 5)
                        ADD_FAILURE()
                            << "(" << r << "," << g << "," << b << "): want " << want[0] << ","
                            << want[1] << "," << want[2] << " packed " << fromPacked[0] << ","
                            << fromPacked[1] << "," << fromPacked[2] << " planes " << fromPlanes[0]
                            << "," << fromPlanes[1] << "," << fromPlanes[2];
                }
    };
    int mismatches[2] = {0, 0};
    std::thread other(check, 0, 128, &mismatches[0]);
    check(128, 256, &mismatches[1]);
    other.join();
    EXPECT_EQ(mismatches[0] + mismatches[1], 0);
}

// The builder runs as AVX2 code where available; its x86-64 baseline form must agree.
TEST(ColorTable, BaselineCodeBuildsTheSameTable) {
    for (const ColorParams& params : {WildMatrix(), NonFinite()}) {
        tarn::ColorLut* best = tarn::BuildColorLut(params, tarn::LutCode::Best);
        tarn::ColorLut* baseline = tarn::BuildColorLut(params, tarn::LutCode::Baseline);
        ASSERT_TRUE(best != nullptr && baseline != nullptr);
        EXPECT_EQ(memcmp(best->packed, baseline->packed, tarn::kLutEntries * 4), 0);
        EXPECT_EQ(memcmp(best->rows, baseline->rows, tarn::kLutEntries * 3), 0);
        tarn::FreeColorLut(best);
        tarn::FreeColorLut(baseline);
    }
}

INSTANTIATE_TEST_SUITE_P(ParameterSets, WholeTable,
                         ::testing::Values(TableCase{"Neutral", Neutral()},
                                           TableCase{"Saturation", WithHsvScale(1, 1.2f, 1)},
                                           TableCase{"RedGain", WithGains(1.1f, 1, 1)},
                                           TableCase{"Gamma", Gamma22()},
                                           TableCase{"WildMatrix", WildMatrix()},
                                           TableCase{"DoubleHue", WithHsvScale(2, 0.7f, 1.1f)},
                                           TableCase{"NonFinite", NonFinite()}),
                         [](const ::testing::TestParamInfo<TableCase>& info) {
                             return info.param.name;
                         });

// ---- Correcting pixels through the global table. ----

class GlobalTable : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        tarn::PublishColorTable(nullptr);
        tarn::TrimColorLutCache();
    }
    static void PublishNeutral() {
        const tarn::ColorLut* lut = tarn::AcquireColorLut(Neutral());
        tarn::PublishColorTable(lut);
        tarn::ReleaseColorLut(lut);
    }
};

TEST_F(GlobalTable, RgbColorCorrectKeepsBlueGreenRedOrder) {
    PublishNeutral();
    unsigned char pixels[6] = {0, 255, 0, 128, 0, 255};  // green; (255, 0, 128) as bytes
    unsigned char* out = RgbColorCorrect(pixels, 2, 1, 3);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ((Rgb{out[0], out[1], out[2]}), (Rgb{0, 255, 4}));
    EXPECT_EQ((Rgb{out[3], out[4], out[5]}), (Rgb{132, 0, 255}));
    EXPECT_EQ(pixels[2], 0);  // the input stays as it was
    free(out);
}

TEST_F(GlobalTable, FourChannelsGetAnOpaqueFourthByte) {
    PublishNeutral();
    unsigned char pixels[8] = {0, 255, 0, 17, 50, 100, 200, 0};
    unsigned char* out = RgbColorCorrect(pixels, 1, 2, 4);
    ASSERT_NE(out, nullptr);
    const unsigned char want[8] = {0, 255, 4, 255, 50, 100, 200, 255};
    EXPECT_EQ(memcmp(out, want, 8), 0);
    free(out);
}

TEST_F(GlobalTable, RgbColorCorrectRefusesWhatItCannotDo) {
    unsigned char pixels[16] = {};
    EXPECT_EQ(RgbColorCorrect(pixels, 1, 1, 3), nullptr);  // no table
    PublishNeutral();
    EXPECT_EQ(RgbColorCorrect(nullptr, 1, 1, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(pixels, 0, 1, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(pixels, 1, -1, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(pixels, 1, 1, 2), nullptr);
    EXPECT_EQ(RgbColorCorrect(pixels, 1, 1, 5), nullptr);
}

// The packed path works on four pixels at a time; odd counts, in-place use and the mixed pixel
// sizes must give what the planes say.
TEST_F(GlobalTable, CorrectPixelsAgreesWithThePlanes) {
    HeldTable held(WithHsvScale(1.4f, 0.8f, 1.1f));
    const ColorCorrectTable* view = tarn::ExportedTable(held.lut);
    std::mt19937 random(3);
    const size_t count = 1001;
    std::vector<uint8_t> bgr(count * 3), bgra(count * 4);
    for (auto& byte : bgr)
        byte = static_cast<uint8_t>(random());
    for (auto& byte : bgra)
        byte = static_cast<uint8_t>(random());
    auto expect = [&](const uint8_t* in, const uint8_t* out, int outChannels, size_t i) {
        const uint8_t b = in[0], g = in[1], r = in[2];
        const Rgb want{view->plane[0][r][g][b], view->plane[1][r][g][b], view->plane[2][r][g][b]};
        ASSERT_EQ((Rgb{out[2], out[1], out[0]}), want) << "pixel " << i;
        if (outChannels == 4) {
            ASSERT_EQ(out[3], 255);
        }
    };
    const tarn::ColorLookup lookups[2] = {tarn::LookupOf(held.lut),
                                          tarn::ColorLookup{nullptr, view}};
    for (const tarn::ColorLookup& lookup : lookups) {
        for (int inChannels : {3, 4})
            for (int outChannels : {3, 4}) {
                const std::vector<uint8_t>& in = inChannels == 3 ? bgr : bgra;
                std::vector<uint8_t> out(count * outChannels);
                tarn::CorrectPixels(lookup, in.data(), inChannels, out.data(), outChannels, count);
                for (size_t i = 0; i < count; ++i)
                    expect(&in[i * inChannels], &out[i * outChannels], outChannels, i);
            }
        std::vector<uint8_t> inPlace = bgr;
        tarn::CorrectPixels(lookup, inPlace.data(), 3, inPlace.data(), 3, count);
        for (size_t i = 0; i < count; ++i)
            expect(&bgr[i * 3], &inPlace[i * 3], 3, i);
    }
}

// A table built by the caller in the documented layout is read through its planes and freed
// block by block.
TEST_F(GlobalTable, CallerBuiltTableIsUsedAndFreed) {
    ColorCorrectTable* table = MallocColorCorrectTable();
    ASSERT_NE(table, nullptr);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(table->range[i], i);
    table->plane[0][10][20][30] = 1;
    table->plane[1][10][20][30] = 2;
    table->plane[2][10][20][30] = 3;
    ColorTable = table;
    unsigned char pixel[3] = {30, 20, 10};
    unsigned char* out = RgbColorCorrect(pixel, 1, 1, 3);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ((Rgb{out[0], out[1], out[2]}), (Rgb{3, 2, 1}));
    free(out);
    DisposeColorCorrectTable(table);
    EXPECT_EQ(ColorTable, nullptr);
    DisposeColorCorrectTable(nullptr);
}

TEST_F(GlobalTable, InitColorCollectTableUsesTheSlideParameters) {
    EXPECT_EQ(InitColorCollectTable(nullptr), -1);
    EXPECT_EQ(ColorTable, nullptr);

    ZyTarnInfo slide{};
    EXPECT_EQ(InitColorCollectTable(&slide), 0);  // no record: neutral parameters
    HeldTable neutral(Neutral());
    EXPECT_EQ(ColorTable, tarn::ExportedTable(neutral.lut));
    EXPECT_EQ(InitColorCollectTable(nullptr), -1);
    EXPECT_EQ(ColorTable, tarn::ExportedTable(neutral.lut));  // left in place

    ZyExtraInfo extra{};
    memcpy(extra.Magic, "EI", 2);
    extra.Gamma = 2.2f;
    for (int c = 0; c < 3; ++c) {
        extra.Gains[c] = 1.0f;
        extra.HsvScale[c] = 1.0f;
        extra.ColorMatrix[4 * c] = 1.0f;
    }
    slide.ExtraInfo = &extra;
    EXPECT_EQ(InitColorCollectTable(&slide), 0);
    HeldTable gamma(Gamma22());
    EXPECT_EQ(ColorTable, tarn::ExportedTable(gamma.lut));
}

TEST(ColorParamsOf, ReadsTheRecordAndReplacesUnusableGammas) {
    ZyExtraInfo extra{};
    extra.Gamma = 1.8f;
    extra.Gains[2] = 0.9f;
    extra.HsvScale[0] = 1.5f;
    extra.ColorMatrix[5] = -0.25f;
    const ColorParams params = tarn::ColorParamsOf(&extra);
    EXPECT_EQ(params.gamma, 1.8f);
    EXPECT_EQ(params.gains[2], 0.9f);
    EXPECT_EQ(params.hsvScale[0], 1.5f);
    EXPECT_EQ(params.matrix[5], -0.25f);
    for (float gamma : {0.0f, -1.0f, kNan}) {
        extra.Gamma = gamma;
        EXPECT_EQ(tarn::ColorParamsOf(&extra).gamma, 1.0f);
    }
    const ColorParams absent = tarn::ColorParamsOf(nullptr), neutral = Neutral();
    EXPECT_EQ(memcmp(&absent, &neutral, sizeof(ColorParams)), 0);
}

}  // namespace
