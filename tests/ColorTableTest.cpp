// Colour tables: known entries, whole tables against a plain evaluation of the correction chain,
// and correcting pixels through the global table.
#include <gtest/gtest.h>

#include "FixedApi/RecordViews.h"
#include "support/FreshTables.h"

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

// ---- The chain for one input, written plainly from its definition. ----

int ToInt(float x) {  // NaN gives 0, out of range saturates
    if (std::isnan(x)) return 0;
    if (std::fabs(x) >= 2147483648.0f) return x > 0 ? INT_MAX : INT_MIN;
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

float Clamped(float x, float top) {
    return Big(x - top) ? top : Small(x) ? 0.0f : x;
}

Rgb Reference(const ColorParams& p, const uint8_t gamma[256], int R, int G, int B) {
    float in[3];
    for (int c = 0; c < 3; ++c) {
        const float* m = p.matrix + 3 * c;
        const float x = p.gains[c] * ((m[0] * R + m[1] * G) + m[2] * B);
        in[c] = gamma[x < 0.0f ? 0 : x > 255.0f ? 255 : ToInt(x)] / 255.0f;
    }
    const float r = in[0], g = in[1], b = in[2];
    float mx = static_cast<double>(r - g) >= 1e-6 ? r : g;
    if (!(static_cast<double>(mx - b) >= 1e-6)) mx = b;
    float mn = static_cast<double>(r - g) >= 1e-6 ? g : r;
    if (static_cast<double>(mn - b) >= 1e-6) mn = b;
    const float d = mx - mn;
    float h = 0.0f;
    if (Small(d))
        h = 0.0f;
    else if (Small(std::fabs(r - mx)))
        h = Big(g - b) ? 60.0f * ((g - b) / d) : Big(b - g) ? 359.0f + ((g - b) / d) * 60.0f : 0;
    else if (Small(std::fabs(g - mx)))
        h = 119.0f + ((b - r) / d) * 60.0f;
    else if (Small(std::fabs(b - mx)))
        h = 239.0f + ((r - g) / d) * 60.0f;
    const float s = Clamped((Small(mx) ? 0.0f : d / mx) * p.hsvScale[1], 1.0f);
    const float v = Clamped(mx * p.hsvScale[2], 1.0f);
    h = Clamped(h * p.hsvScale[0], 359.0f);

    if (Small(std::fabs(s))) return {ByteOf(255.0f * v), ByteOf(255.0f * v), ByteOf(255.0f * v)};
    const float hh = h / 60.0f;
    const int i = ToInt(std::floor(hh));
    const float f = hh - static_cast<float>(i);
    const float pp = (1.0f - s) * v, q = (1.0f - s * f) * v, t = (1.0f - (1.0f - f) * s) * v;
    const float sectors[6][3] = {{v, t, pp}, {q, v, pp}, {pp, v, t},
                                 {pp, q, v}, {t, pp, v}, {v, pp, q}};
    if (i < 0 || i > 5) return {0, 0, 0};
    const float* out = sectors[i];
    return {ByteOf(255.0f * out[0]), ByteOf(255.0f * out[1]), ByteOf(255.0f * out[2])};
}

ColorParams Neutral() {
    return tarn::NeutralColorParams();
}

ColorParams With(float gamma, std::array<float, 3> gains, std::array<float, 3> hsv,
                 std::array<float, 9> matrix = {1, 0, 0, 0, 1, 0, 0, 0, 1}) {
    ColorParams p{};
    p.gamma = gamma;
    memcpy(p.gains, gains.data(), sizeof p.gains);
    memcpy(p.hsvScale, hsv.data(), sizeof p.hsvScale);
    memcpy(p.matrix, matrix.data(), sizeof p.matrix);
    return p;
}

const ColorParams kSaturation = With(1, {1, 1, 1}, {1, 1.2f, 1});
const ColorParams kRedGain = With(1, {1.1f, 1, 1}, {1, 1, 1});
const ColorParams kGamma = With(2.2f, {1, 1, 1}, {1, 1, 1});
const ColorParams kWildMatrix =
    With(0.6f, {1, 1, 0.8f}, {1, 1, 1}, {1.7f, -0.45f, 0.3f, -2.5f, 3.1f, 0.05f, 0.2f, 40, -0.9f});
const ColorParams kDoubleHue = With(1, {1, 1, 1}, {2, 0.7f, 1.1f});
// Red: inf * G (NaN where G = 0); green: -inf * B; blue: NaN gain; hue 0 * inf = NaN.
const ColorParams kNonFinite =
    With(1, {1, 1, kNan}, {kInf, 1.3f, kNan}, {1, kInf, 0, 0, 1, -kInf, 0, 0, 1});

// Holds a table for one test.
struct HeldTable {
    explicit HeldTable(const ColorParams& params) : lut(tarn::AcquireColorLut(params)) {}
    ~HeldTable() { tarn::ReleaseColorLut(lut); }
    Rgb At(int r, int g, int b) const {
        const uint32_t e = tarn::LookupOf(lut).packed[(r << 16) | (g << 8) | b];
        return {static_cast<int>(e >> 16), static_cast<int>(e >> 8 & 0xFF),
                static_cast<int>(e & 0xFF)};
    }
    const tarn::ColorLut* lut;
};

TEST(ColorTable, KnownEntries) {
    const HeldTable neutral(Neutral());  // not the identity, because of the hue offsets
    EXPECT_EQ(neutral.At(0, 255, 0), (Rgb{4, 255, 0}));
    EXPECT_EQ(neutral.At(0, 0, 255), (Rgb{0, 4, 255}));
    EXPECT_EQ(neutral.At(255, 0, 128), (Rgb{255, 0, 132}));
    for (Rgb same :
         {Rgb{255, 0, 0}, Rgb{200, 100, 50}, Rgb{128, 128, 128}, Rgb{0, 0, 0}, Rgb{255, 255, 255}})
        EXPECT_EQ(neutral.At(same[0], same[1], same[2]), same);
    // Single precision: the hue comes out as 19.999998, one step below exact arithmetic.
    EXPECT_EQ(HeldTable(kSaturation).At(200, 100, 50), (Rgb{200, 79, 19}));
    EXPECT_EQ(HeldTable(kRedGain).At(200, 100, 50), (Rgb{220, 99, 49}));
}

struct NamedParams {
    const char* name;
    ColorParams params;
};

class WholeTable : public ::testing::TestWithParam<NamedParams> {};

// Every entry, packed and through the exported planes.
TEST_P(WholeTable, MatchesThePlainEvaluation) {
    const ColorParams& params = GetParam().params;
    const HeldTable held(params);
    ASSERT_NE(held.lut, nullptr);
    const tarn::PlaneTable* view = tarn::ExportedTable(held.lut);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(view->range[i], i);
    uint8_t gamma[256];
    GammaTableInit(params.gamma, gamma);  // checked against known entries above

    auto check = [&](int rBegin, int rEnd, int* mismatches) {
        for (int r = rBegin; r < rEnd; ++r)
            for (int g = 0; g < 256; ++g)
                for (int b = 0; b < 256; ++b) {
                    const Rgb want = Reference(params, gamma, r, g, b);
                    const Rgb planes{view->plane[0][r][g][b], view->plane[1][r][g][b],
                                     view->plane[2][r][g][b]};
                    if ((held.At(r, g, b) != want || planes != want) && ++*mismatches <= 5)
                        ADD_FAILURE() << "entry (" << r << "," << g << "," << b << ")";
                }
    };
    int mismatches[2] = {0, 0};
    std::thread other(check, 0, 128, &mismatches[0]);  // two threads halve the wall time
    check(128, 256, &mismatches[1]);
    other.join();
    EXPECT_EQ(mismatches[0] + mismatches[1], 0);
}

INSTANTIATE_TEST_SUITE_P(
    ParameterSets, WholeTable,
    ::testing::Values(NamedParams{"Neutral", Neutral()}, NamedParams{"Saturation", kSaturation},
                      NamedParams{"RedGain", kRedGain}, NamedParams{"Gamma", kGamma},
                      NamedParams{"WildMatrix", kWildMatrix}, NamedParams{"DoubleHue", kDoubleHue},
                      NamedParams{"NonFinite", kNonFinite}),
    [](const ::testing::TestParamInfo<NamedParams>& info) { return info.param.name; });

// The builder runs as AVX2 code where available; its x86-64 baseline form must agree.
TEST(ColorTable, BaselineCodeBuildsTheSameTable) {
    tarn::ColorLut* best = tarn::BuildColorLut(kNonFinite, tarn::LutCode::Best);
    tarn::ColorLut* baseline = tarn::BuildColorLut(kNonFinite, tarn::LutCode::Baseline);
    ASSERT_TRUE(best != nullptr && baseline != nullptr);
    EXPECT_EQ(memcmp(best->packed, baseline->packed, tarn::kLutEntries * 4), 0);
    EXPECT_EQ(memcmp(best->rows, baseline->rows, tarn::kLutEntries * 3), 0);
    tarn::FreeColorLut(best);
    tarn::FreeColorLut(baseline);
}

// ---- Correcting pixels through the global table. ----

using GlobalTable = tarntest::FreshTables;

TEST_F(GlobalTable, RgbColorCorrectByteOrderAlphaAndRefusals) {
    // Blue, green, red bytes: green, and (255, 0, 128); the 4-byte form with junk fourth bytes.
    unsigned char three[6] = {0, 255, 0, 128, 0, 255};
    unsigned char four[8] = {0, 255, 0, 17, 128, 0, 255, 0};
    EXPECT_EQ(RgbColorCorrect(three, 2, 1, 3), nullptr);  // no table yet
    const HeldTable neutral(Neutral());
    tarn::PublishColorTable(neutral.lut);

    unsigned char* out = RgbColorCorrect(three, 2, 1, 3);
    ASSERT_NE(out, nullptr);
    const unsigned char wantThree[6] = {0, 255, 4, 132, 0, 255};
    EXPECT_EQ(memcmp(out, wantThree, 6), 0);
    EXPECT_EQ(three[2], 0);  // the input is left alone
    free(out);
    out = RgbColorCorrect(four, 1, 2, 4);
    ASSERT_NE(out, nullptr);
    const unsigned char wantFour[8] = {0, 255, 4, 255, 132, 0, 255, 255};
    EXPECT_EQ(memcmp(out, wantFour, 8), 0);
    free(out);

    EXPECT_EQ(RgbColorCorrect(nullptr, 1, 1, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(three, 0, 1, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(three, 1, -1, 3), nullptr);
    EXPECT_EQ(RgbColorCorrect(three, 1, 1, 2), nullptr);
    EXPECT_EQ(RgbColorCorrect(four, 1, 1, 5), nullptr);
}

// The packed path handles four pixels at a time: odd counts, in-place use and mixed pixel sizes
// must give what the planes say.
TEST_F(GlobalTable, CorrectPixelsAgreesWithThePlanes) {
    const HeldTable held(kDoubleHue);
    const tarn::PlaneTable* view = tarn::ExportedTable(held.lut);
    std::mt19937 random(3);
    const size_t count = 1001;
    std::vector<uint8_t> pixels3(count * 3), pixels4(count * 4);
    for (auto& byte : pixels3)
        byte = static_cast<uint8_t>(random());
    for (auto& byte : pixels4)
        byte = static_cast<uint8_t>(random());
    auto expectCorrected = [&](const uint8_t* in, const uint8_t* out, int outChannels) {
        const uint8_t b = in[0], g = in[1], r = in[2];
        ASSERT_EQ((Rgb{out[2], out[1], out[0]}),
                  (Rgb{view->plane[0][r][g][b], view->plane[1][r][g][b], view->plane[2][r][g][b]}));
        ASSERT_TRUE(outChannels == 3 || out[3] == 255);
    };
    for (const tarn::ColorLookup& lookup :
         {tarn::LookupOf(held.lut), tarn::ColorLookup{nullptr, view}}) {
        for (int inChannels : {3, 4})
            for (int outChannels : {3, 4}) {
                const std::vector<uint8_t>& in = inChannels == 3 ? pixels3 : pixels4;
                std::vector<uint8_t> out(count * outChannels);
                tarn::CorrectPixels(lookup, in.data(), inChannels, out.data(), outChannels, count);
                for (size_t i = 0; i < count; ++i)
                    expectCorrected(&in[i * inChannels], &out[i * outChannels], outChannels);
            }
        std::vector<uint8_t> inPlace = pixels3;
        tarn::CorrectPixels(lookup, inPlace.data(), 3, inPlace.data(), 3, count);
        for (size_t i = 0; i < count; ++i)
            expectCorrected(&pixels3[i * 3], &inPlace[i * 3], 3);
        // Red first, in place: the same colours with the outer bytes exchanged.
        inPlace = pixels3;
        tarn::CorrectPixels(lookup, inPlace.data(), 3, inPlace.data(), tarn::PixelFormat::Rgb,
                            count);
        for (size_t i = 0; i < count; ++i) {
            std::swap(inPlace[i * 3], inPlace[i * 3 + 2]);
            expectCorrected(&pixels3[i * 3], &inPlace[i * 3], 3);
        }
    }
}

// A table built by the caller in the documented layout is read through its planes and freed
// block by block.
TEST_F(GlobalTable, CallerBuiltTableIsUsedAndFreed) {
    ColorCorrectTable* table = MallocColorCorrectTable();
    ASSERT_NE(table, nullptr);
    for (int c = 0; c < 3; ++c)
        table->plane[c][10][20][30] = static_cast<unsigned char>(c + 1);
    ColorTable = table;
    unsigned char pixel[3] = {30, 20, 10};
    unsigned char* out = RgbColorCorrect(pixel, 1, 1, 3);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ((Rgb{out[0], out[1], out[2]}), (Rgb{3, 2, 1}));
    free(out);
    DisposeColorCorrectTable(table);
    EXPECT_EQ(ColorTable, nullptr);
}

TEST_F(GlobalTable, InitColorCollectTableUsesTheSlideParameters) {
    EXPECT_EQ(InitColorCollectTable(nullptr), -1);
    EXPECT_EQ(ColorTable, nullptr);

    ZyTarnInfo slide{};
    EXPECT_EQ(InitColorCollectTable(&slide), 0);  // no record: neutral parameters
    const HeldTable neutral(Neutral());
    EXPECT_EQ(ColorTable, tarn::AsFixed(tarn::ExportedTable(neutral.lut)));
    EXPECT_EQ(InitColorCollectTable(nullptr), -1);
    EXPECT_EQ(ColorTable, tarn::AsFixed(tarn::ExportedTable(neutral.lut)));  // left in place

    ZyExtraInfo extra{};
    extra.Gamma = 2.2f;
    for (int c = 0; c < 3; ++c)
        extra.Gains[c] = extra.HsvScale[c] = extra.ColorMatrix[4 * c] = 1;
    slide.ExtraInfo = &extra;
    EXPECT_EQ(InitColorCollectTable(&slide), 0);
    const HeldTable gamma(kGamma);
    EXPECT_EQ(ColorTable, tarn::AsFixed(tarn::ExportedTable(gamma.lut)));

    for (float unusable : {0.0f, -1.0f, kNan}) {
        extra.Gamma = unusable;
        EXPECT_EQ(tarn::ColorParamsOf(tarn::AsCore(&extra)).gamma, 1.0f);
    }
}

}  // namespace
