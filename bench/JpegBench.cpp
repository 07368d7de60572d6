// Decoding one 256 x 256 quality-75 tissue tile: bare libjpeg-turbo into blue-green-red against the
// library's decodes with colour correction through its packed table. Each *_VsBare benchmark
// alternates runs of bare decodes and of corrected ones, timing both in this thread's CPU time so
// that load from other processes falls on both alike, and reports speed_ratio = bare time /
// corrected time. Take the medians of several repetitions:
//   tarn_bench --benchmark_filter=Jpeg --benchmark_repetitions=9
//              --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <ctime>
#include <cstdlib>
#include <vector>

#include "DecodeJpeg/JpegCodec.h"
#include "TarnWriter.h"

namespace {

constexpr uint32_t kTile = 256;

const tarnwriter::Bytes& TissueTile() {
    static const tarnwriter::Bytes jpeg =
        tarnwriter::EncodeJpeg(tarnwriter::RenderTissue(2048, 1536, kTile, kTile), 75);
    return jpeg;
}

// The library's own packed table for neutral parameters, allocated as every slide's table is;
// its entries do not matter for speed, the pixels' colours decide which parts are touched.
const tarn::ColorLookup& PackedLookup() {
    static const tarn::ColorLookup lookup =
        tarn::LookupOf(tarn::AcquireColorLut(tarn::NeutralColorParams()));
    return lookup;
}

void DecodeBare(const tarnwriter::Bytes& jpeg, std::vector<uint8_t>& out) {
    tarnwriter::DecodeJpeg(jpeg.data(), jpeg.size(), &out);
}

// The path of region and layer reads: decode into a scratch tile, then correct the wanted part
// from there into the caller's buffer.
void DecodePartCorrected(const tarnwriter::Bytes& jpeg, const tarn::PixelRect& part,
                         std::vector<uint8_t>& out) {
    static std::vector<uint8_t> scratch(kTile * kTile * 3);
    if (!tarn::DecodeJpegBgr(jpeg.data(), jpeg.size(), kTile, kTile, part, scratch.data(),
                             kTile * 3))
        std::abort();
    const tarn::PixelRect r = part.width == 0 ? tarn::PixelRect{0, 0, kTile, kTile} : part;
    for (uint32_t y = r.y; y < r.y + r.height; ++y)
        tarn::CorrectPixels(PackedLookup(), &scratch[(y * kTile + r.x) * 3], 3,
                            &out[(y * kTile + r.x) * 3], 3, r.width);
}

void DecodeTileCorrected(const tarnwriter::Bytes& jpeg, std::vector<uint8_t>& out) {
    DecodePartCorrected(jpeg, {}, out);
}

// A region edge: only the 64 x 64 bottom-right corner of the tile is needed.
void DecodeCornerCorrected(const tarnwriter::Bytes& jpeg, std::vector<uint8_t>& out) {
    DecodePartCorrected(jpeg, {kTile - 64, kTile - 64, 64, 64}, out);
}

// The path of decoded tiles, associated images and ZyDecodeJpeg: a new buffer, corrected row by
// row.
void DecodeWholeCorrected(const tarnwriter::Bytes& jpeg, std::vector<uint8_t>&) {
    unsigned char* pixels = nullptr;
    if (tarn::DecodeJpegCorrected(jpeg.data(), jpeg.size(), JCS_EXT_BGR, PackedLookup(), kTile,
                                  kTile, &pixels) == 0)
        std::abort();
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
}

double ThreadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void BM_Jpeg_BareLibjpeg(benchmark::State& state) {
    const tarnwriter::Bytes& jpeg = TissueTile();
    std::vector<uint8_t> out(kTile * kTile * 3);
    for (auto _ : state) {
        DecodeBare(jpeg, out);
        benchmark::DoNotOptimize(out.data());
    }
}

// Decodes of one kind run back to back, so that each kind finds the caches as it leaves them.
constexpr int kRunLength = 8;

template <void (*Corrected)(const tarnwriter::Bytes&, std::vector<uint8_t>&)>
void VsBare(benchmark::State& state) {
    const tarnwriter::Bytes& jpeg = TissueTile();
    PackedLookup();  // built before timing starts
    std::vector<uint8_t> out(kTile * kTile * 3);
    double bare = 0, corrected = 0;
    for (auto _ : state) {
        const double t0 = ThreadSeconds();
        for (int i = 0; i < kRunLength; ++i)
            DecodeBare(jpeg, out);
        const double t1 = ThreadSeconds();
        for (int i = 0; i < kRunLength; ++i)
            Corrected(jpeg, out);
        corrected += ThreadSeconds() - t1;
        bare += t1 - t0;
        benchmark::DoNotOptimize(out.data());
    }
    const double n = static_cast<double>(state.iterations()) * kRunLength;
    state.counters["bare_us"] = 1e6 * bare / n;
    state.counters["corrected_us"] = 1e6 * corrected / n;
    state.counters["speed_ratio"] = bare / corrected;
}

void BM_Jpeg_TileCorrected_VsBare(benchmark::State& state) {
    VsBare<DecodeTileCorrected>(state);
}
void BM_Jpeg_WholeCorrected_VsBare(benchmark::State& state) {
    VsBare<DecodeWholeCorrected>(state);
}
void BM_Jpeg_CornerCorrected_VsBare(benchmark::State& state) {
    VsBare<DecodeCornerCorrected>(state);
}

BENCHMARK(BM_Jpeg_BareLibjpeg);
BENCHMARK(BM_Jpeg_TileCorrected_VsBare)->MinWarmUpTime(0.3);
BENCHMARK(BM_Jpeg_WholeCorrected_VsBare)->MinWarmUpTime(0.3);
BENCHMARK(BM_Jpeg_CornerCorrected_VsBare)->MinWarmUpTime(0.3);

}  // namespace
