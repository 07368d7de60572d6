// tarn.h's regions and Deep Zoom tiles, beside the fixed interface's regions and beside OpenSlide
// 3.4.1 (Debian's libopenslide0, loaded at run time) reading a pyramidal TIFF of the same picture.
//
// Every region benchmark reads the same sequence of random 512 x 512 regions of layer 0. The
// sequence keeps reads cold for OpenSlide, whose 3.4.1 tile cache (32 MiB, not settable) cannot be
// turned off: no region starts on a tile edge, so each touches 3 x 3 tiles, and none touches a
// tile that one of the 16 regions before it touched. A tile comes back only after at least
// 16 x 9 = 144 others, more than the 128 decoded 256 x 256 tiles the cache holds, so it has been
// evicted. tarn.h's reads go through a cache of capacity 0.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BenchSlides.h"
#include "DecodeTarn.h"
#include "tarn.h"

namespace {

using tarnbench::BenchSlide;

constexpr int kRegion = 512;
constexpr int kTile = 256;

struct Region {
    int64_t x, y;
};

int64_t PictureWidth(const BenchSlide& slide) {
    return int64_t{slide.spec.layers[0].xCount} * kTile - slide.spec.layers[0].boundWidth;
}
int64_t PictureHeight(const BenchSlide& slide) {
    return int64_t{slide.spec.layers[0].yCount} * kTile - slide.spec.layers[0].boundHeight;
}

// The cold sequence described above.
const std::vector<Region>& ColdRegions() {
    static const std::vector<Region> regions = [] {
        const BenchSlide& slide = tarnbench::JpegSlide();
        const int64_t columns = PictureWidth(slide) / kTile, rows = PictureHeight(slide) / kTile;
        std::mt19937 engine(2024);
        const auto random = [&engine](int64_t below) {
            return static_cast<int64_t>(engine() % static_cast<uint64_t>(below));
        };
        std::vector<Region> out;
        std::deque<std::set<int64_t>> recent;
        while (out.size() < 256) {
            const int64_t tx = random(columns - 2), ty = random(rows - 2);
            const Region r{tx * kTile + 1 + random(kTile - 1), ty * kTile + 1 + random(kTile - 1)};
            std::set<int64_t> tiles;
            for (int64_t dy = 0; dy < 3; ++dy)
                for (int64_t dx = 0; dx < 3; ++dx)
                    tiles.insert((ty + dy) * columns + tx + dx);
            bool fresh = true;
            for (const std::set<int64_t>& earlier : recent)
                for (int64_t tile : tiles)
                    fresh = fresh && earlier.count(tile) == 0;
            if (!fresh) continue;
            out.push_back(r);
            recent.push_back(tiles);
            if (recent.size() > 16) recent.pop_front();
        }
        return out;
    }();
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

// ---- OpenSlide 3.4.1, through the few functions used here.

struct OpenSlideLibrary {
    void* (*open)(const char*) = nullptr;
    void (*close)(void*) = nullptr;
    const char* (*error)(void*) = nullptr;
    void (*readRegion)(void*, uint32_t*, int64_t, int64_t, int32_t, int64_t, int64_t) = nullptr;
    bool loaded = false;
};

template <class Function>
void Bind(void* handle, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(dlsym(handle, name));
}

const OpenSlideLibrary& OpenSlideApi() {
    static const OpenSlideLibrary api = [] {
        OpenSlideLibrary library;
        void* handle = dlopen("libopenslide.so.0", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return library;
        Bind(handle, "openslide_open", &library.open);
        Bind(handle, "openslide_close", &library.close);
        Bind(handle, "openslide_get_error", &library.error);
        Bind(handle, "openslide_read_region", &library.readRegion);
        library.loaded = library.open && library.close && library.error && library.readRegion;
        return library;
    }();
    return api;
}

// Layer 0's picture as a JPEG-compressed pyramidal TIFF of 256 x 256 tiles at quality 75, written
// by libvips from the library's own pixels. Empty when that fails.
const std::string& PyramidTiff() {
    static const std::string path = []() -> std::string {
        const BenchSlide& bench = tarnbench::JpegSlide();
        const int64_t width = PictureWidth(bench), height = PictureHeight(bench);
        tarn_slide* slide = tarn_open(bench.path.c_str());
        std::vector<uint8_t> rgb(static_cast<size_t>(width * height * 3));
        const bool read =
            tarn_read_region(slide, rgb.data(), 0, 0, 0, width, height, TARN_FORMAT_RGB) == 0;
        tarn_close(slide);
        const std::string ppm = tarnbench::BenchDirectory() + "/layer0.ppm";
        const std::string tiff = tarnbench::BenchDirectory() + "/pyramid.tif";
        FILE* file = fopen(ppm.c_str(), "wb");
        if (!read || file == nullptr) return "";
        fprintf(file, "P6\n%lld %lld\n255\n", static_cast<long long>(width),
                static_cast<long long>(height));
        const bool written = fwrite(rgb.data(), 1, rgb.size(), file) == rgb.size();
        fclose(file);
        const std::string command = "vips tiffsave " + ppm + " " + tiff +
                                    " --tile --pyramid --compression jpeg --Q 75 "
                                    "--tile-width 256 --tile-height 256";
        if (!written || system(command.c_str()) != 0) return "";
        remove(ppm.c_str());
        return tiff;
    }();
    return path;
}

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
