// tarn_cache_* over the library's tile cache.
//
// STAND-IN: the tile cache module (DecodeTarn/TileCache.h) is not in the library yet. Until it is,
// a tarn_cache only records its capacity and its references, the counters stay at zero, and
// slides read without a cache. Once the module is there, a tarn_cache is a TileCache and each
// function below becomes one call into it (CreateTileCache, ReleaseTileCache, RetainTileCache,
// SetTileCacheCapacity, TileCacheStatsOf, DefaultTileCache); the casts between the two pointer
// types stay as they are.
#include "TarnApi/Cache.h"

#include <atomic>
#include <new>

struct tarn_cache {
    std::atomic<size_t> capacity{0};
    std::atomic<int64_t> references{1};
};

namespace tarn {
namespace {

constexpr size_t kDefaultCapacity = size_t{64} << 20;

tarn_cache* DefaultCache() {
    static tarn_cache cache{kDefaultCapacity, 1};
    return &cache;
}

tarn_cache* Handle(TileCache* cache) {
    return reinterpret_cast<tarn_cache*>(cache);
}
TileCache* Module(tarn_cache* cache) {
    return reinterpret_cast<TileCache*>(cache);
}

void Retain(tarn_cache* cache) {
    if (cache != nullptr) cache->references.fetch_add(1);
}

void Release(tarn_cache* cache) {
    if (cache != nullptr && cache != DefaultCache() && cache->references.fetch_sub(1) == 1)
        delete cache;
}

}  // namespace

TileCache* AcquireSlideCache(tarn_slide& slide) {
    std::lock_guard<std::mutex> hold(slide.cacheLock);
    Retain(Handle(slide.cache));
    return slide.cache;
}

void ReleaseSlideCache(TileCache* cache) {
    Release(Handle(cache));
}

}  // namespace tarn

using namespace tarn;

tarn_cache* tarn_cache_create(size_t capacity) {
    auto* cache = new (std::nothrow) tarn_cache;
    if (cache != nullptr) cache->capacity = capacity;
    return cache;
}

void tarn_cache_release(tarn_cache* cache) {
    Release(cache);
}

void tarn_set_cache(tarn_slide* slide, tarn_cache* cache) {
    OnSlideVoid(slide, [&](SlideCall& call) {
        Retain(cache);
        tarn_slide& target = call.slide();
        TileCache* previous = nullptr;
        {
            std::lock_guard<std::mutex> hold(target.cacheLock);
            previous = target.cache;
            target.cache = Module(cache);
        }
        ReleaseSlideCache(previous);
    });
}

void tarn_cache_set_capacity(tarn_cache* cache, size_t capacity) {
    (cache != nullptr ? cache : DefaultCache())->capacity = capacity;
}

int tarn_cache_get_stats(tarn_cache* cache, tarn_cache_stats* stats) {
    if (stats == nullptr) return -1;
    *stats = {};
    stats->capacity = (cache != nullptr ? cache : DefaultCache())->capacity;
    return 0;
}
