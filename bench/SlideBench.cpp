// Opening slides, reading regions and whole layers, and exporting tiles, each next to a baseline
// measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BareHevc.h"
#include "BenchSlides.h"
#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn.h"
#include "FixedApi/Handles.h"
#include "FixedApi/ZyCommon.h"

namespace {

using tarnbench::BenchSlide;

// libjpeg-turbo alone: a tile decoded to blue-green-red into a reused buffer.
void BareDecode(const tarnwriter::Bytes& jpeg, std::vector<uint8_t>* pixels) {
    tarnwriter::DecodeJpeg(jpeg.data(), jpeg.size(), pixels);
}

struct Region {
    uint32_t x, y;
};

constexpr int kRegionSize = 512;

const BenchSlide& SlideOf(const benchmark::State& state) {
    return state.range(0) == 0 ? tarnbench::JpegSlide() : tarnbench::HevcSlide();
}

// A fixed sequence of random 512 x 512 regions inside layer 0's picture.
std::vector<Region> RandomRegions(const BenchSlide& slide) {
    const tarnwriter::LayerSpec& layer = slide.spec.layers[0];
    const uint32_t width = layer.xCount * 256 - layer.boundWidth - kRegionSize;
    const uint32_t height = layer.yCount * 256 - layer.boundHeight - kRegionSize;
    std::mt19937 random(12345);
    std::vector<Region> out;
    for (int i = 0; i < 256; ++i)
        out.push_back(
            {static_cast<uint32_t>(random() % width), static_cast<uint32_t>(random() % height)});
    return out;
}

void BM_BareTileDecode(benchmark::State& state) {
    const tarnwriter::Bytes tile = tarnbench::StoredTile(tarnbench::JpegSlide(), 5, 5);
    std::vector<uint8_t> pixels;
    for (auto _ : state)
        BareDecode(tile, &pixels);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareTileDecode)->Unit(benchmark::kMicrosecond);

void BM_OpenFirst(benchmark::State& state) {
    const std::string& path = tarnbench::JpegSlide().path;
    for (auto _ : state) {
        state.PauseTiming();
        tarn::TrimColorLutCache();  // no table of these parameters survives: a first open
        state.ResumeTiming();
        ZyTarnInfo* slide = ZyOpenTarn(path.c_str());
        benchmark::DoNotOptimize(slide);
        ZyCloseTarn(slide);
    }
}
BENCHMARK(BM_OpenFirst)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OpenAgain(benchmark::State& state) {
    const std::string& path = tarnbench::JpegSlide().path;
    ZyCloseTarn(ZyOpenTarn(path.c_str()));
    for (auto _ : state) {
        ZyTarnInfo* slide = ZyOpenTarn(path.c_str());
        benchmark::DoNotOptimize(slide);
        ZyCloseTarn(slide);
    }
}
BENCHMARK(BM_OpenAgain)->Unit(benchmark::kMillisecond)->UseRealTime();

// Argument 0: the JPEG slide, 1: the HEVC slide.
void BM_RegionRead(benchmark::State& state) {
    const BenchSlide& bench = SlideOf(state);
    ZyTarnInfo* slide = ZyOpenTarn(bench.path.c_str());
    const std::vector<Region> regions = RandomRegions(bench);
    size_t i = 0;
    for (auto _ : state) {
        const Region& r = regions[i++ % regions.size()];
        unsigned char* pixels = nullptr;
        ZyGetRoiRgbOfSpecifyLayer(slide, &pixels, kRegionSize, kRegionSize, r.x, r.y, 0);
        Dispose(pixels);
    }
    state.SetItemsProcessed(state.iterations());
    ZyCloseTarn(slide);
}
BENCHMARK(BM_RegionRead)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The same regions' tiles, each decoded whole from memory by libjpeg-turbo or libavcodec alone.
void BM_RegionBareDecode(benchmark::State& state) {
    const BenchSlide& slide = SlideOf(state);
    const bool hevc = state.range(0) == 1;
    std::vector<std::vector<tarnwriter::Bytes>> tiles;
    for (const Region& r : RandomRegions(slide)) {
        tiles.emplace_back();
        for (uint32_t ty = r.y / 256; ty <= (r.y + kRegionSize - 1) / 256; ++ty)
            for (uint32_t tx = r.x / 256; tx <= (r.x + kRegionSize - 1) / 256; ++tx)
                tiles.back().push_back(tarnbench::StoredTile(slide, tx, ty));
    }
    std::vector<uint8_t> pixels;
    tarnbench::BareHevcDecoder bareHevc;
    size_t i = 0;
    for (auto _ : state)
        for (const tarnwriter::Bytes& tile : tiles[i++ % tiles.size()]) {
            if (hevc)
                bareHevc.Decode(tile);
            else
                BareDecode(tile, &pixels);
        }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegionBareDecode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_WholeLayer(benchmark::State& state) {
    ZyTarnInfo* slide = ZyOpenTarn(tarnbench::JpegSlide().path.c_str());
    const int threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        unsigned char* pixels = nullptr;
        int width = 0, height = 0;
        tarn::DecodeWholeLayer(slide, &pixels, &width, &height, 0, threads);
        Dispose(pixels);
    }
    state.SetItemsProcessed(state.iterations() * 24 * 16);  // tiles
    ZyCloseTarn(slide);
}
BENCHMARK(BM_WholeLayer)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

std::string FreshDirectory(const char* name) {
    const std::string path = tarnbench::BenchDirectory() + "/" + name;
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

constexpr int kExportTiles = 32 * 24;  // 512 x 512 tiles of the export slide's layer 0

void BM_ExportLibrary(benchmark::State& state) {
    const std::string out = FreshDirectory("export-library");
    const std::string& path = tarnbench::ExportSlide().path;
    for (auto _ : state)
        GetAllSliceJpeg(const_cast<char*>(path.c_str()), const_cast<char*>(out.c_str()), 512, 512);
    state.SetItemsProcessed(state.iterations() * kExportTiles);
}
BENCHMARK(BM_ExportLibrary)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

#ifdef TARN_TOOL_PATH
void BM_ExportTool(benchmark::State& state) {
    const std::string out = FreshDirectory("export-tool");
    const std::string command = std::string(TARN_TOOL_PATH) + " export " +
                                tarnbench::ExportSlide().path + " " + out +
                                " --tile-width 512 --tile-height 512 --quiet";
    for (auto _ : state)
        if (system(command.c_str()) != 0) state.SkipWithError("tarn export failed");
    state.SetItemsProcessed(state.iterations() * kExportTiles);
}
BENCHMARK(BM_ExportTool)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
#endif

}  // namespace
