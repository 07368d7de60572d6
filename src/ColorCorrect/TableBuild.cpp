// Building a colour table: the correction chain evaluated for all 2^24 inputs, written in one
// pass into the packed entries and the rows behind the exported planes.
#include <cstring>
#include <new>

#include "ColorCorrect/ColorChain.h"
#include "ColorCorrect/ColorLut.h"
#include "Common/ThreadCap.h"

namespace tarn {
namespace {

// The constants of one build.
struct Chain {
    float gains[3];
    float hsvScale[3];
    float matrix[9];
    float gammaUnit[256];  // gamma entry / 255: the value the HSV conversion starts from
};

// The chain is evaluated for eight blue values at once. Every lane performs exactly the float
// operations of the scalar conversions in RgbHsv.cpp, in the same order, so the table is
// bit-identical to evaluating them one input at a time; branches become selects.
typedef float F8 __attribute__((vector_size(32)));
typedef int32_t I8 __attribute__((vector_size(32)));
typedef uint8_t U8x8 __attribute__((vector_size(8)));
typedef uint8_t U8x32 __attribute__((vector_size(32)));

#define TARN_LANES inline __attribute__((always_inline))

// The helpers below are always inlined into the two compiled forms of the builder, so no 32-byte
// vector ever crosses a call and the compilers' note about the AVX calling convention does not
// apply. GCC prints its note whatever the pragma says: the build turns it off for this file.
#pragma GCC diagnostic ignored "-Wpsabi"

// x - (+0) is x for every float, -0 and NaN included; GCC turns this into one broadcast where
// an initializer list of eight copies becomes a chain of inserts.
TARN_LANES F8 Splat(float x) {
    return x - F8{};
}
TARN_LANES F8 LoadF8(const float* p) {
    F8 v;
    memcpy(&v, p, sizeof v);
    return v;
}
TARN_LANES I8 SplatInt(int32_t x) {
    return I8{x, x, x, x, x, x, x, x};
}
TARN_LANES F8 Select(I8 mask, F8 a, F8 b) {
    return (F8)((mask & (I8)a) | (~mask & (I8)b));
}
TARN_LANES I8 SelectInt(I8 mask, I8 a, I8 b) {
    return (mask & a) | (~mask & b);
}
TARN_LANES F8 Abs(F8 x) {
    return (F8)((I8)x & SplatInt(0x7FFFFFFF));
}

// The tolerance tests of ColorChain.h in float: (double)x > 1e-6 and (double)x >= 1e-6 are
// x >= kToleranceFloat; (double)x <= 1e-6 is x < kToleranceFloat.
TARN_LANES I8 Exceeds(F8 x) {
    return x >= Splat(kToleranceFloat);
}
TARN_LANES I8 Within(F8 x) {
    return x < Splat(kToleranceFloat);
}

// x < 0 gives 0, x > 255 gives 255, otherwise truncation (NaN gives 0).
TARN_LANES I8 MatrixByte(F8 x) {
    F8 y = Select(x > Splat(255.0f), Splat(255.0f), x);
    y = Select(x >= Splat(0.0f), y, Splat(0.0f));
    return __builtin_convertvector(y, I8);
}

// ScalarRgb(255, x): truncation clamped to 0..255, NaN giving 0.
TARN_LANES I8 UnitToByte(F8 x) {
    const F8 y = Splat(255.0f) * x;
    F8 z = Select(y > Splat(0.0f), y, Splat(0.0f));
    z = Select(z > Splat(255.0f), Splat(255.0f), z);
    return __builtin_convertvector(z, I8);
}

// Rgb2Hsv's clamp of a scaled component: above top by more than the tolerance gives top, not
// above the tolerance gives 0, NaN passes.
TARN_LANES F8 ClampComponent(F8 x, float top) {
    return Select(Exceeds(x - Splat(top)), Splat(top), Select(Within(x), Splat(0.0f), x));
}

// The build's constants as vectors, made once per red value: stores into the table could alias
// the Chain, so it would otherwise be reloaded and splat again for every eight entries.
struct Lanes {
    F8 gains[3];
    F8 blueWeights[3];  // third matrix column
    F8 hsvScale[3];
};

struct Bytes8 {
    I8 red, green, blue;
};

// Rgb2Hsv with the slide's multipliers, then Hsv2Rgb with unit multipliers.
TARN_LANES Bytes8 AdjustHsv(const Lanes& lanes, F8 r, F8 g, F8 b) {
    const I8 redOverGreen = Exceeds(r - g);
    const F8 t = Select(redOverGreen, r, g);
    const F8 max = Select(Exceeds(t - b), t, b);
    const F8 u = Select(redOverGreen, g, r);
    const F8 min = Select(Exceeds(u - b), b, u);
    const F8 d = max - min;

    const I8 redMax = Within(Abs(r - max));
    const I8 greenMax = Within(Abs(g - max));
    const I8 blueMax = Within(Abs(b - max));
    const F8 quotient = Select(redMax, g - b, Select(greenMax, b - r, r - g)) / d;
    const F8 zero = Splat(0.0f);
    const F8 redHue = Select(Exceeds(g - b), Splat(60.0f) * quotient,
                             Select(Exceeds(b - g), Splat(359.0f) + quotient * Splat(60.0f), zero));
    const F8 otherHue = Select(greenMax, Splat(119.0f) + quotient * Splat(60.0f),
                               Select(blueMax, Splat(239.0f) + quotient * Splat(60.0f), zero));
    F8 h = Select(Within(d), zero, Select(redMax, redHue, otherHue));
    F8 s = Select(Within(max), zero, d / max);
    F8 v = max;
    h = ClampComponent(h * lanes.hsvScale[0], 359.0f);
    s = ClampComponent(s * lanes.hsvScale[1], 1.0f);
    v = ClampComponent(v * lanes.hsvScale[2], 1.0f);

    // The clamp leaves h in 0..359 or NaN, so the sector is the truncation of h / 60, NaN
    // counting as sector 0 like every NaN conversion.
    const F8 sectorF = h / Splat(60.0f);
    const I8 sector =
        __builtin_convertvector(Select(sectorF == sectorF, sectorF, zero), I8);  // NOLINT: NaN test
    const F8 f = sectorF - __builtin_convertvector(sector, F8);
    const F8 one = Splat(1.0f);
    const I8 bv = UnitToByte(v);
    const I8 bp = UnitToByte((one - s) * v);
    const I8 bq = UnitToByte((one - s * f) * v);
    const I8 bt = UnitToByte((one - (one - f) * s) * v);

    const I8 is0 = sector == SplatInt(0), is1 = sector == SplatInt(1);
    const I8 is2 = sector == SplatInt(2), is3 = sector == SplatInt(3);
    const I8 is4 = sector == SplatInt(4), is5 = sector == SplatInt(5);
    const I8 none = SplatInt(0);
    Bytes8 out;
    out.red = SelectInt(is0 | is5, bv,
                        SelectInt(is1, bq, SelectInt(is2 | is3, bp, SelectInt(is4, bt, none))));
    out.green = SelectInt(is1 | is2, bv,
                          SelectInt(is0, bt, SelectInt(is3, bq, SelectInt(is4 | is5, bp, none))));
    out.blue = SelectInt(is3 | is4, bv,
                         SelectInt(is0 | is1, bp, SelectInt(is2, bt, SelectInt(is5, bq, none))));
    const I8 grey = Within(Abs(s));
    out.red = SelectInt(grey, bv, out.red);
    out.green = SelectInt(grey, bv, out.green);
    out.blue = SelectInt(grey, bv, out.blue);
    return out;
}

// Byte k of every 32-bit lane: one output channel out of eight packed entries.
template <int K>
TARN_LANES U8x8 ChannelOf(U8x32 bytes) {
    return __builtin_shufflevector(bytes, bytes, K, K + 4, K + 8, K + 12, K + 16, K + 20, K + 24,
                                   K + 28);
}

TARN_LANES void StoreEntries(uint8_t* rows, uint32_t* packed, const Bytes8& out) {
    const I8 entry = out.blue | (out.green << 8) | (out.red << 16);
    memcpy(packed, &entry, sizeof entry);
    const U8x32 bytes = (U8x32)entry;
    const U8x8 red = ChannelOf<2>(bytes), green = ChannelOf<1>(bytes), blue = ChannelOf<0>(bytes);
    memcpy(rows, &red, sizeof red);
    memcpy(rows + 256, &green, sizeof green);
    memcpy(rows + 512, &blue, sizeof blue);
}

// Fills the entries of red value `r`, one (R, G) row of 256 blue values at a time, in three
// passes: the matrix step for all blues, the gamma lookups (scalar: there is no portable
// gather, and passing through memory avoids extracting lanes one by one), then the HSV step.
TARN_LANES void FillRedSlab(const Chain& chain, ColorLut* lut, int r) {
    Lanes lanes;
    for (int c = 0; c < 3; ++c) {
        lanes.gains[c] = Splat(chain.gains[c]);
        lanes.blueWeights[c] = Splat(chain.matrix[3 * c + 2]);
        lanes.hsvScale[c] = Splat(chain.hsvScale[c]);
    }
    const F8 firstBlues = {0, 1, 2, 3, 4, 5, 6, 7};
    const F8 eight = Splat(8.0f);
    const float red = static_cast<float>(r);
    alignas(32) int32_t index[3][256];
    alignas(32) float unit[3][256];
    for (int g = 0; g < 256; ++g) {
        const float green = static_cast<float>(g);
        for (int c = 0; c < 3; ++c) {
            const F8 redGreen = Splat(chain.matrix[3 * c] * red + chain.matrix[3 * c + 1] * green);
            if (chain.matrix[3 * c + 2] == 0.0f) {
                // A zero blue weight times any blue is the same signed zero, so the channel is
                // the same for the whole row (the common case of a diagonal matrix).
                const I8 byte =
                    MatrixByte(lanes.gains[c] * (redGreen + lanes.blueWeights[c] * F8{}));
                const F8 value = Splat(chain.gammaUnit[byte[0]]);
                for (int b0 = 0; b0 < 256; b0 += 8)
                    memcpy(&unit[c][b0], &value, sizeof value);
                continue;
            }
            F8 blue = firstBlues;  // small integers: adding 8 is exact
            for (int b0 = 0; b0 < 256; b0 += 8, blue += eight) {
                const I8 byte =
                    MatrixByte(lanes.gains[c] * (redGreen + lanes.blueWeights[c] * blue));
                memcpy(&index[c][b0], &byte, sizeof byte);
            }
            for (int b = 0; b < 256; ++b)
                unit[c][b] = chain.gammaUnit[index[c][b]];
        }

        uint8_t* rows = lut->rows + (static_cast<size_t>(r) * 256 + g) * kRowTripleBytes;
        uint32_t* packed = lut->packed + ((static_cast<size_t>(r) << 16) | (g << 8));
        for (int b0 = 0; b0 < 256; b0 += 8) {
            const Bytes8 out =
                AdjustHsv(lanes, LoadF8(&unit[0][b0]), LoadF8(&unit[1][b0]), LoadF8(&unit[2][b0]));
            StoreEntries(rows + b0, packed + b0, out);
        }
    }
}

// The same code twice: compiled for AVX2 (eight lanes in one register) and for the x86-64
// baseline (two SSE registers per eight lanes). Both give identical tables.
__attribute__((target("avx2"))) void FillRedSlabAvx2(const Chain& chain, ColorLut* lut, int r) {
    FillRedSlab(chain, lut, r);
}

void FillRedSlabBaseline(const Chain& chain, ColorLut* lut, int r) {
    FillRedSlab(chain, lut, r);
}

}  // namespace

ColorLut* BuildColorLut(const ColorParams& params, LutCode code) {
    auto* lut = new (std::nothrow) ColorLut;
    if (lut == nullptr) return nullptr;
    if (!MapLutStorage(lut)) {
        delete lut;
        return nullptr;
    }
    lut->params = params;
    FillRangeTable(lut->table.range);

    Chain chain{};
    memcpy(chain.gains, params.gains, sizeof chain.gains);
    memcpy(chain.hsvScale, params.hsvScale, sizeof chain.hsvScale);
    memcpy(chain.matrix, params.matrix, sizeof chain.matrix);
    uint8_t gamma[256];
    FillGammaTable(params.gamma, gamma);
    for (int i = 0; i < 256; ++i)
        chain.gammaUnit[i] = static_cast<float>(gamma[i]) / 255.0f;

    const bool avx2 = code == LutCode::Best && __builtin_cpu_supports("avx2");
    void (*const fill)(const Chain&, ColorLut*, int) = avx2 ? FillRedSlabAvx2 : FillRedSlabBaseline;
    ParallelFor(256, [&](int64_t r) {
        LinkPlanes(lut, static_cast<int>(r));
        fill(chain, lut, static_cast<int>(r));
    });
    lut->viewLinked = true;
    return lut;
}

}  // namespace tarn
