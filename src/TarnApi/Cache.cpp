// tarn_cache_* over the library's tile cache: a tarn_cache is a PixelCache, and NULL names the
// process's default cache, which is never released.
#include <mutex>

#include "Core/PixelCache.h"
#include "TarnApi/Slide.h"

namespace tarn {
namespace {

tarn_cache* Handle(PixelCache* cache) {
    return reinterpret_cast<tarn_cache*>(cache);
}
PixelCache* Module(tarn_cache* cache) {
    return reinterpret_cast<PixelCache*>(cache);
}
PixelCache* OrDefault(tarn_cache* cache) {
    return cache != nullptr ? Module(cache) : DefaultPixelCache();
}

}  // namespace

}  // namespace tarn

using namespace tarn;

tarn_cache* tarn_cache_create(size_t capacity) {
    return Handle(CreatePixelCache(capacity));
}

void tarn_cache_release(tarn_cache* cache) {
    ReleasePixelCache(Module(cache));
}

void tarn_set_cache(tarn_slide* slide, tarn_cache* cache) {
    OnSlideVoid(slide, [&](SlideCall& call) {
        RetainPixelCache(Module(cache));
        Slide& target = *call.slide().core;
        PixelCache* previous = nullptr;
        {
            const std::lock_guard<std::mutex> hold(target.cacheLock);
            previous = target.cache;
            target.cache = Module(cache);
        }
        // Reads in flight hold references of their own.
        ReleasePixelCache(previous);
    });
}

void tarn_cache_set_capacity(tarn_cache* cache, size_t capacity) {
    SetPixelCacheCapacity(OrDefault(cache), capacity);
}

int tarn_cache_get_stats(tarn_cache* cache, tarn_cache_stats* stats) {
    if (stats == nullptr) return -1;
    const PixelCacheStats counts = PixelCacheStatsOf(OrDefault(cache));
    stats->hits = counts.hits;
    stats->misses = counts.misses;
    stats->bytes = counts.bytes;
    stats->capacity = counts.capacity;
    stats->entries = counts.entries;
    return 0;
}
