// tarn.h's regions and Deep Zoom tiles, beside the fixed interface's regions and beside OpenSlide
// 3.4.1 (Debian's libopenslide0, loaded at run time) reading a pyramidal TIFF of the same picture.
//
// Every region benchmark reads the same cold sequence of random 512 x 512 regions of layer 0
// (ColdRegions.h); tarn.h's reads go through a cache of capacity 0.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSlides.h"
#include "ColdRegions.h"
#include "OpenSlideApi.h"
#include "DecodeTarn.h"
#include "tarn.h"

namespace {

using tarnbench::BenchSlide;

constexpr int kRegion = 512;
constexpr int kTile = 256;

using Region = tarnbench::RegionOrigin;

using tarnbench::PictureHeight;
using tarnbench::PictureWidth;

const std::vector<Region>& ColdRegions() {
    static const std::vector<Region> regions =
        tarnbench::ColdRegions(PictureWidth(tarnbench::JpegSlide()) / kTile,
                               PictureHeight(tarnbench::JpegSlide()) / kTile);
    return regions;
}

// A slide opened through tarn.h that reads without cache, on one thread.
tarn_slide* OpenCold(const std::string& path) {
    tarn_set_threads(1);
    tarn_slide* slide = tarn_open(path.c_str());
    tarn_cache* none = tarn_cache_create(0);
    tarn_set_cache(slide, none);
    tarn_cache_release(none);
    return slide;
}

void BM_FixedRegionBgr(benchmark::State& state) {
    tarn_cache_set_capacity(nullptr, 0);  // cold, like the tarn.h reads beside it
    ZyTarnInfo* slide = ZyOpenTarn(tarnbench::JpegSlide().path.c_str());
    const std::vector<Region>& regions = ColdRegions();
    size_t i = 0;
    for (auto _ : state) {
        const Region& r = regions[i++ % regions.size()];
        unsigned char* pixels = GetRoiSliceBgr(slide, 0, static_cast<int>(r.x),
                                               static_cast<int>(r.y), kRegion, kRegion);
        benchmark::DoNotOptimize(pixels);
        Dispose(pixels);
    }
    state.SetItemsProcessed(state.iterations());
    ZyCloseTarn(slide);
    tarn_cache_set_capacity(nullptr, size_t{64} << 20);
}
BENCHMARK(BM_FixedRegionBgr)->Unit(benchmark::kMillisecond);

// Argument: the tarn_format (0: RGBA, the layout compared; 3: BGR, the fixed interface's).
void BM_TarnRegion(benchmark::State& state) {
    tarn_slide* slide = OpenCold(tarnbench::JpegSlide().path);
    const std::vector<Region>& regions = ColdRegions();
    const auto format = static_cast<tarn_format>(state.range(0));
    std::vector<uint8_t> pixels(size_t{kRegion} * kRegion * 4);
    size_t i = 0;
    for (auto _ : state) {
        const Region& r = regions[i++ % regions.size()];
        if (tarn_read_region(slide, pixels.data(), r.x, r.y, 0, kRegion, kRegion, format) != 0)
            state.SkipWithError(tarn_get_error(slide));
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(state.iterations());
    tarn_close(slide);
}
BENCHMARK(BM_TarnRegion)
    ->Arg(TARN_FORMAT_RGBA)
    ->Arg(TARN_FORMAT_BGR)
    ->Unit(benchmark::kMillisecond);

// ---- OpenSlide 3.4.1 on a pyramidal TIFF of the same picture.

using tarnbench::OpenSlideApi;
using tarnbench::OpenSlideLibrary;
using tarnbench::PyramidTiff;

void BM_OpenSlideRegion(benchmark::State& state) {
    const OpenSlideLibrary& api = OpenSlideApi();
    if (!api.loaded || PyramidTiff().empty()) {
        state.SkipWithError("libopenslide.so.0 or vips is missing");
        return;
    }
    void* slide = api.open(PyramidTiff().c_str());
    if (slide == nullptr || api.error(slide) != nullptr) {
        state.SkipWithError("OpenSlide does not open the TIFF");
        return;
    }
    const std::vector<Region>& regions = ColdRegions();
    std::vector<uint32_t> argb(size_t{kRegion} * kRegion);
    size_t i = 0;
    for (auto _ : state) {
        const Region& r = regions[i++ % regions.size()];
        api.readRegion(slide, argb.data(), r.x, r.y, 0, kRegion, kRegion);
        benchmark::DoNotOptimize(argb.data());
    }
    state.SetItemsProcessed(state.iterations());
    api.close(slide);
}
BENCHMARK(BM_OpenSlideRegion)->Unit(benchmark::kMillisecond);

// Repeated reads: the same few 512 x 512 regions again and again, each reader through its own
// tile cache (OpenSlide's 32 MiB, tarn.h's default 64 MiB), both warmed first.
constexpr size_t kRepeated = 8;

void BM_OpenSlideRegionRepeated(benchmark::State& state) {
    const OpenSlideLibrary& api = OpenSlideApi();
    if (!api.loaded || PyramidTiff().empty()) {
        state.SkipWithError("libopenslide.so.0 or vips is missing");
        return;
    }
    void* slide = api.open(PyramidTiff().c_str());
    const std::vector<Region>& regions = ColdRegions();
    std::vector<uint32_t> argb(size_t{kRegion} * kRegion);
    for (size_t i = 0; i < 3 * kRepeated; ++i)
        api.readRegion(slide, argb.data(), regions[i % kRepeated].x, regions[i % kRepeated].y, 0,
                       kRegion, kRegion);
    size_t i = 0;
    for (auto _ : state) {
        const Region& r = regions[i++ % kRepeated];
        api.readRegion(slide, argb.data(), r.x, r.y, 0, kRegion, kRegion);
        benchmark::DoNotOptimize(argb.data());
    }
    state.SetItemsProcessed(state.iterations());
    api.close(slide);
}
BENCHMARK(BM_OpenSlideRegionRepeated)->Unit(benchmark::kMillisecond);

void BM_TarnRegionRepeated(benchmark::State& state) {
    tarn_set_threads(1);
    tarn_slide* slide = tarn_open(tarnbench::JpegSlide().path.c_str());
    const std::vector<Region>& regions = ColdRegions();
    std::vector<uint8_t> pixels(size_t{kRegion} * kRegion * 4);
    for (size_t i = 0; i < 3 * kRepeated; ++i)
        tarn_read_region(slide, pixels.data(), regions[i % kRepeated].x, regions[i % kRepeated].y,
                         0, kRegion, kRegion, TARN_FORMAT_RGBA);
    size_t i = 0;
    for (auto _ : state) {
        const Region& r = regions[i++ % kRepeated];
        if (tarn_read_region(slide, pixels.data(), r.x, r.y, 0, kRegion, kRegion,
                             TARN_FORMAT_RGBA) != 0)
            state.SkipWithError(tarn_get_error(slide));
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(state.iterations());
    tarn_close(slide);
}
BENCHMARK(BM_TarnRegionRepeated)->Unit(benchmark::kMillisecond);

// Deep Zoom tiles of the deepest (full-resolution) level, 254 + 2 x 1 overlap, rendered and
// encoded as JPEG at quality 75, one after the other over the level.
void BM_DeepZoomJpegTile(benchmark::State& state) {
    tarn_slide* slide = OpenCold(tarnbench::JpegSlide().path);
    tarn_deepzoom* dz = tarn_deepzoom_create(slide, 254, 1, 0);
    const int32_t level = tarn_deepzoom_get_level_count(dz) - 1;
    int64_t columns = 0, rows = 0;
    tarn_deepzoom_get_level_tiles(dz, level, &columns, &rows);
    int64_t i = 0;
    for (auto _ : state) {
        const int64_t tile = i++ % (columns * rows);
        uint8_t* jpeg = nullptr;
        size_t size = 0;
        if (tarn_deepzoom_read_tile_jpeg(dz, level, tile % columns, tile / columns, 75, &jpeg,
                                         &size) != 0)
            state.SkipWithError(tarn_get_error(slide));
        tarn_free(jpeg);
    }
    state.SetItemsProcessed(state.iterations());
    tarn_deepzoom_destroy(dz);
    tarn_close(slide);
}
BENCHMARK(BM_DeepZoomJpegTile)->Unit(benchmark::kMillisecond);

}  // namespace
