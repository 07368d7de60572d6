// Colour tables: building a table for new parameters, acquiring a cached one, and correcting
// pixels. The scalar build (the exported conversions called for one input at a time) is the
// baseline the vectorised builder is measured against.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "ColorCorrect/ColorTables.h"
#include "Common/ThreadCap.h"
#include "DecodeTarnCxx.h"

namespace {

// Parameters no earlier iteration has used, so every acquire builds, with a saturation boost
// and either a full calibration matrix (every channel depends on blue: the builder's slower
// case) or a diagonal one.
tarn::ColorParams FreshParams(bool fullMatrix = true) {
    static float gamma = 1.5f;
    tarn::ColorParams params = tarn::NeutralColorParams();
    const float full[9] = {1.05f, -0.03f, -0.02f, -0.04f, 1.08f, -0.04f, -0.01f, -0.05f, 1.06f};
    const float diagonal[9] = {1.05f, 0, 0, 0, 1.08f, 0, 0, 0, 1.06f};
    memcpy(params.matrix, fullMatrix ? full : diagonal, sizeof full);
    gamma = std::nextafter(gamma, 3.0f);
    params.gamma = gamma;
    params.hsvScale[1] = 1.1f;
    return params;
}

void BM_BuildNewTable(benchmark::State& state) {
    tarn::TrimColorLutCache();
    for (auto _ : state) {
        const tarn::ColorLut* lut = tarn::AcquireColorLut(FreshParams(state.range(0) != 0));
        benchmark::DoNotOptimize(lut);
        state.PauseTiming();
        tarn::ReleaseColorLut(lut);
        tarn::TrimColorLutCache();
        state.ResumeTiming();
    }
}
// Argument 1: full matrix; 0: diagonal matrix.
BENCHMARK(BM_BuildNewTable)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

// The same chain through Rgb2Hsv/Hsv2Rgb, one input at a time, on all processors, into storage
// of the same size and kind as the library's (fresh huge-page mapping, packed entries and rows).
void BM_BuildScalarBaseline(benchmark::State& state) {
    const size_t packedBytes = size_t{4} << 24, rowBytes = size_t{3} << 24;
    for (auto _ : state) {
        const tarn::ColorParams params = FreshParams();
        void* map = mmap(nullptr, packedBytes + rowBytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            state.SkipWithError("mmap failed");
            break;
        }
        madvise(map, packedBytes + rowBytes, MADV_HUGEPAGE);
        auto* packed = static_cast<uint32_t*>(map);
        auto* rows = static_cast<uint8_t*>(map) + packedBytes;
        unsigned char gamma[256];
        GammaTableInit(params.gamma, gamma);
        tarn::ParallelFor(256, [&](int64_t r) {
            float scale[3] = {params.hsvScale[0], params.hsvScale[1], params.hsvScale[2]};
            float unit[3] = {1, 1, 1};
            for (int g = 0; g < 256; ++g)
                for (int b = 0; b < 256; ++b) {
                    unsigned char in[3], out[3];
                    const float rgb[3] = {static_cast<float>(r), static_cast<float>(g),
                                          static_cast<float>(b)};
                    for (int c = 0; c < 3; ++c) {
                        const float* m = params.matrix + 3 * c;
                        const float x =
                            params.gains[c] * ((m[0] * rgb[0] + m[1] * rgb[1]) + m[2] * rgb[2]);
                        in[c] = gamma[x < 0 ? 0 : x > 255 ? 255 : static_cast<int>(x)];
                    }
                    float hsv[3];
                    Rgb2Hsv(in, scale, hsv);
                    Hsv2Rgb(hsv, unit, out);
                    const size_t index = (static_cast<size_t>(r) << 16) | (g << 8) | b;
                    packed[index] = out[2] | (out[1] << 8) | (out[0] << 16);
                    uint8_t* row = rows + ((static_cast<size_t>(r) << 8) | g) * 768;
                    row[b] = out[0], row[256 + b] = out[1], row[512 + b] = out[2];
                }
        });
        benchmark::DoNotOptimize(packed);
        state.PauseTiming();
        munmap(map, packedBytes + rowBytes);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_BuildScalarBaseline)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// A reopen: the table of these parameters is in the cache.
void BM_AcquireCachedTable(benchmark::State& state) {
    const tarn::ColorParams params = tarn::NeutralColorParams();
    tarn::ReleaseColorLut(tarn::AcquireColorLut(params));
    for (auto _ : state) {
        const tarn::ColorLut* lut = tarn::AcquireColorLut(params);
        benchmark::DoNotOptimize(lut);
        tarn::ReleaseColorLut(lut);
    }
}
BENCHMARK(BM_AcquireCachedTable)->Unit(benchmark::kMicrosecond);

// A tissue-like image: smoothly varying pinks and purples on a light background, with noise.
std::vector<uint8_t> TissueImage(int width, int height) {
    std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
    std::mt19937 random(7);
    // Decoded tiles carry most of their noise in luminance (chroma is subsampled), which moves
    // all three channels together.
    std::uniform_int_distribution<int> shade(-6, 6), tint(-1, 1);
    const float pink[3] = {225, 140, 185}, purple[3] = {110, 70, 150}, light[3] = {238, 232, 240};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const float tissue = 0.5f + 0.5f * std::sin(x * 0.011f) * std::cos(y * 0.017f);
            const float nuclei = 0.5f + 0.5f * std::sin(x * 0.05f + y * 0.031f);
            uint8_t* px = &bgr[(static_cast<size_t>(y) * width + x) * 3];
            const int offset = shade(random);
            for (int c = 0; c < 3; ++c) {
                const float stain = pink[c] + (purple[c] - pink[c]) * nuclei * nuclei;
                const float v = light[c] + (stain - light[c]) * tissue + offset + tint(random);
                px[2 - c] = static_cast<uint8_t>(std::fmin(255.0f, std::fmax(0.0f, v)));
            }
        }
    return bgr;
}

void CorrectImage(benchmark::State& state, bool packed) {
    const int side = 1024;
    const std::vector<uint8_t> image = TissueImage(side, side);
    std::vector<uint8_t> out(image.size());
    tarn::ColorParams params = tarn::NeutralColorParams();
    params.gamma = 1.8f;
    const tarn::ColorLut* lut = tarn::AcquireColorLut(params);
    tarn::ColorLookup lookup = tarn::LookupOf(lut);
    if (!packed) lookup = tarn::ColorLookup{nullptr, tarn::ExportedTable(lut)};
    for (auto _ : state) {
        tarn::CorrectPixels(lookup, image.data(), 3, out.data(), 3, image.size() / 3);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * side * side);
    tarn::ReleaseColorLut(lut);
}

void BM_CorrectPixelsPacked(benchmark::State& state) {
    CorrectImage(state, true);
}
void BM_CorrectPixelsPlanes(benchmark::State& state) {
    CorrectImage(state, false);
}
BENCHMARK(BM_CorrectPixelsPacked)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CorrectPixelsPlanes)->Unit(benchmark::kMicrosecond);

}  // namespace
