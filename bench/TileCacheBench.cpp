// The tile cache beside the reads it spares, in the same run. A cold read is the tile path as it
// is: the tile's bytes read from the file and only the rows and columns asked for decoded and
// corrected. Against it: a hit (the same part copied out as BGR or RGBA), the first touch through
// the cache (which only notes the key), the second (which decodes the whole tile and keeps it),
// a repeated 512 x 512 region, and hits on two threads against one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "BenchSlides.h"
#include "Common/PixelCopy.h"
#include "DecodeTarn.h"
#include "Service/Reads.h"
#include "FixedApi/Handles.h"
#include "Core/Tiles.h"
#include "Core/PixelCache.h"

namespace {

using tarn::PixelFormat;
using tarn::PixelRect;

constexpr uint32_t kTile = 256;

// The JPEG bench slide opened once, with its colours pinned for the whole run, and a cache that
// keeps nothing: the tile path through it is the cold read.
struct OpenBenchSlide {
    ZyTarnInfo* info = ZyOpenTarn(tarnbench::JpegSlide().path.c_str());
    tarn::FixedRead read{info};
    tarn::PixelCache* off = tarn::CreatePixelCache(0);
    tarn::ReadContext cold = Through(off);

    // The slide's reads through `cache`.
    tarn::ReadContext Through(tarn::PixelCache* cache) const {
        tarn::ReadContext context = read.context();
        context.cache = cache;
        return context;
    }
};

const OpenBenchSlide& Slide() {
    static const OpenBenchSlide slide;
    return slide;
}

tarn::PixelKey KeyOf(uint32_t layer, uint64_t tile) {
    tarn::PixelKey key;
    key.source = 1;
    key.colorTag = 42;
    key.layer = layer;
    key.tile = tile;
    return key;
}

// Argument 0: the whole tile; 1: its middle 128 x 128.
PixelRect PartOf(const benchmark::State& state) {
    return state.range(0) == 0 ? PixelRect{0, 0, kTile, kTile} : PixelRect{64, 64, 128, 128};
}

// Part `part` of tile (x, y) of layer 0 into `dst` through `cache` under `key` (which lets one
// tile stand for many), decoding through the tile path without a cache.
tarn::Status DrawCached(tarn::PixelCache* cache, const tarn::PixelKey& key, uint32_t x, uint32_t y,
                        const PixelRect& part, uint8_t* dst, size_t stride, PixelFormat format) {
    const OpenBenchSlide& slide = Slide();
    auto decode = [&](const PixelRect& rect, uint8_t* out, size_t outStride, PixelFormat f) {
        return tarn::DrawTile(slide.cold, 0, x, y, rect, out, outStride, f);
    };
    return tarn::DrawThroughCache(cache, key, kTile, kTile, part, dst, stride, format, decode);
}

void BM_TileCold(benchmark::State& state) {
    const OpenBenchSlide& slide = Slide();
    const PixelRect part = PartOf(state);
    std::vector<uint8_t> out(size_t{kTile} * kTile * 3);
    for (auto _ : state)
        tarn::DrawTile(slide.cold, 0, 5, 5, part, out.data(), part.width * 3, PixelFormat::Bgr);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TileCold)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Arguments: the part, then the layout (0 BGR, 3 RGBA).
void BM_TileHit(benchmark::State& state) {
    tarn::PixelCache* cache = tarn::CreatePixelCache(size_t{64} << 20);
    const PixelRect part = PartOf(state);
    const auto format = static_cast<PixelFormat>(state.range(1));
    const size_t stride = part.width * static_cast<size_t>(tarn::BytesPerPixel(format));
    std::vector<uint8_t> out(stride * part.height);
    const tarn::PixelKey key = KeyOf(0, 5 * 24 + 5);
    for (int touch = 0; touch < 2; ++touch)
        DrawCached(cache, key, 5, 5, part, out.data(), stride, format);
    for (auto _ : state)
        DrawCached(cache, key, 5, 5, part, out.data(), stride, format);
    if (tarn::PixelCacheStatsOf(cache).hits != static_cast<uint64_t>(state.iterations()))
        state.SkipWithError("reads missed the cache");
    state.SetItemsProcessed(state.iterations());
    tarn::ReleasePixelCache(cache);
}
BENCHMARK(BM_TileHit)
    ->Args({0, static_cast<int>(PixelFormat::Bgr)})
    ->Args({0, static_cast<int>(PixelFormat::Rgba)})
    ->Args({1, static_cast<int>(PixelFormat::Bgr)})
    ->Args({1, static_cast<int>(PixelFormat::Rgba)})
    ->Unit(benchmark::kMicrosecond);

// Every read a new key: what the cache adds to a read that is never repeated.
void BM_TileFirstTouch(benchmark::State& state) {
    tarn::PixelCache* cache = tarn::CreatePixelCache(size_t{64} << 20);
    const PixelRect part = PartOf(state);
    std::vector<uint8_t> out(size_t{kTile} * kTile * 3);
    uint64_t tile = 0;
    for (auto _ : state)
        DrawCached(cache, KeyOf(0, tile++), 5, 5, part, out.data(), part.width * 3,
                   PixelFormat::Bgr);
    state.SetItemsProcessed(state.iterations());
    tarn::ReleasePixelCache(cache);
}
BENCHMARK(BM_TileFirstTouch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The read that keeps a tile: the whole tile decoded into a new entry, inserted and the part
// copied out. Its first touch is not timed. The cache is full before timing starts, so every
// insert evicts and the allocator reuses the evicted blocks, as in a long-running reader: filling
// fresh memory costs page faults once, which a virtual machine makes dear.
void BM_TileSecondTouch(benchmark::State& state) {
    tarn::PixelCache* cache = tarn::CreatePixelCache(size_t{8} << 20);
    const PixelRect part = PartOf(state);
    std::vector<uint8_t> out(size_t{kTile} * kTile * 3);
    uint64_t tile = 0;
    auto touch = [&] {
        DrawCached(cache, KeyOf(0, tile), 5, 5, part, out.data(), part.width * 3, PixelFormat::Bgr);
    };
    for (; tile < 100; ++tile)
        for (int i = 0; i < 2; ++i)
            touch();
    for (auto _ : state) {
        state.PauseTiming();
        touch();
        state.ResumeTiming();
        touch();
        ++tile;
    }
    state.SetItemsProcessed(state.iterations());
    tarn::ReleasePixelCache(cache);
}
BENCHMARK(BM_TileSecondTouch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// One 512 x 512 region of layer 0 at (300, 200): 3 x 3 tiles, none of them whole.
constexpr uint32_t kRegionX = 300, kRegionY = 200, kRegionSide = 512;

void DrawCachedRegion(tarn::PixelCache* cache, uint8_t* dst, PixelFormat format) {
    const size_t bytes = static_cast<size_t>(tarn::BytesPerPixel(format));
    const size_t stride = kRegionSide * bytes;
    for (uint32_t ty = kRegionY / kTile; ty <= (kRegionY + kRegionSide - 1) / kTile; ++ty)
        for (uint32_t tx = kRegionX / kTile; tx <= (kRegionX + kRegionSide - 1) / kTile; ++tx) {
            const uint32_t left = std::max(kRegionX, tx * kTile);
            const uint32_t top = std::max(kRegionY, ty * kTile);
            const uint32_t right = std::min(kRegionX + kRegionSide, (tx + 1) * kTile);
            const uint32_t bottom = std::min(kRegionY + kRegionSide, (ty + 1) * kTile);
            const PixelRect part{left - tx * kTile, top - ty * kTile, right - left, bottom - top};
            DrawCached(cache, KeyOf(0, ty * 24 + tx), tx, ty, part,
                       dst + (top - kRegionY) * stride + (left - kRegionX) * bytes, stride, format);
        }
}

void BM_RegionCold(benchmark::State& state) {
    const OpenBenchSlide& slide = Slide();
    std::vector<uint8_t> out(size_t{kRegionSide} * kRegionSide * 3);
    for (auto _ : state)
        tarn::ReadArea(slide.cold, 0, kRegionX, kRegionY, kRegionSide, kRegionSide,
                       tarn::Extent::Grid, out.data(), kRegionSide * 3, PixelFormat::Bgr);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegionCold)->Unit(benchmark::kMicrosecond);

// The region path with a cache, the region read again. Argument: the layout (0 BGR, 3 RGBA).
void BM_RegionRepeated(benchmark::State& state) {
    const OpenBenchSlide& slide = Slide();
    tarn::PixelCache* cache = tarn::CreatePixelCache(size_t{64} << 20);
    const auto format = static_cast<PixelFormat>(state.range(0));
    const size_t stride = kRegionSide * static_cast<size_t>(tarn::BytesPerPixel(format));
    std::vector<uint8_t> out(stride * kRegionSide);
    const tarn::ReadContext through = slide.Through(cache);
    auto read = [&] {
        return tarn::ReadArea(through, 0, kRegionX, kRegionY, kRegionSide, kRegionSide,
                              tarn::Extent::Grid, out.data(), stride, format);
    };
    read();
    read();
    for (auto _ : state)
        read();
    if (tarn::PixelCacheStatsOf(cache).hits != static_cast<uint64_t>(state.iterations()) * 9)
        state.SkipWithError("reads missed the cache");
    state.SetItemsProcessed(state.iterations());
    tarn::ReleasePixelCache(cache);
}
BENCHMARK(BM_RegionRepeated)
    ->Arg(static_cast<int>(PixelFormat::Bgr))
    ->Arg(static_cast<int>(PixelFormat::Rgba))
    ->Unit(benchmark::kMicrosecond);

// The nine tiles of the region, kept in a cache all threads share, visited in turn: body(key, x,
// y) per iteration. Thread 0 fills the cache before the threads start and releases it after.
template <class Body>
void OnSharedTiles(benchmark::State& state, Body&& body) {
    static tarn::PixelCache* shared = nullptr;
    if (state.thread_index() == 0) {
        shared = tarn::CreatePixelCache(size_t{64} << 20);
        std::vector<uint8_t> out(size_t{kRegionSide} * kRegionSide * 3);
        DrawCachedRegion(shared, out.data(), PixelFormat::Bgr);
        DrawCachedRegion(shared, out.data(), PixelFormat::Bgr);
    }
    uint32_t i = 0;
    for (auto _ : state) {
        const uint32_t tx = 1 + i % 3, ty = i / 3 % 3;
        body(shared, KeyOf(0, ty * 24 + tx), tx, ty);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) tarn::ReleasePixelCache(shared);
}

// Whole-tile hits as RGBA on 1 or 2 threads, all on the same nine tiles (so on the same shards:
// the worst case for the locks). Items are tiles, summed over the threads.
void BM_TileHitThreads(benchmark::State& state) {
    const PixelRect whole{0, 0, kTile, kTile};
    std::vector<uint8_t> out(size_t{kTile} * kTile * 4);
    OnSharedTiles(state,
                  [&](tarn::PixelCache* cache, const tarn::PixelKey& key, uint32_t x, uint32_t y) {
                      DrawCached(cache, key, x, y, whole, out.data(), kTile * 4, PixelFormat::Rgba);
                  });
}
BENCHMARK(BM_TileHitThreads)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The lookup alone (find, pin, unpin: no copy) on 1 or 2 threads: the most the locks can cost,
// against the few microseconds a copy takes.
void BM_TileFindThreads(benchmark::State& state) {
    tarn::TilePin pin;
    OnSharedTiles(state,
                  [&](tarn::PixelCache* cache, const tarn::PixelKey& key, uint32_t, uint32_t) {
                      tarn::FindTile(cache, key, kTile, kTile, &pin);
                      pin.Reset();
                  });
}
BENCHMARK(BM_TileFindThreads)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kNanosecond);

// The baseline of BM_TileHitThreads: the same copies from nine private tiles, no cache and no lock,
// so what the machine gives a second thread is not taken for contention.
void BM_TileCopyThreads(benchmark::State& state) {
    const std::vector<uint8_t> tiles(size_t{kTile} * kTile * 3 * 9, 0x80);
    std::vector<uint8_t> out(size_t{kTile} * kTile * 4);
    uint32_t i = 0;
    for (auto _ : state) {
        const uint8_t* tile = tiles.data() + size_t{kTile} * kTile * 3 * (i++ % 9);
        tarn::CopyBgrPixels(tile, kTile * 3, kTile, kTile, out.data(), kTile * 4,
                            PixelFormat::Rgba);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TileCopyThreads)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
