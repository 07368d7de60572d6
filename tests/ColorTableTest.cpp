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

}  // namespace
