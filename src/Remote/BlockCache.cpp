#include "Remote/BlockCache.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <unordered_map>

#include "Remote/RemoteSettings.h"

namespace tarn::remote {
namespace {

using Buffer = std::shared_ptr<const std::vector<uint8_t>>;

struct LruEntry {
    const std::string* key = nullptr;  // the object map's own key, stable while it exists
    uint64_t start = 0;
};

struct Extent {
    uint64_t end = 0;
    Buffer bytes;
    uint64_t bytesStart = 0;  // the object offset of bytes[0]
    std::list<LruEntry>::iterator lru;
};

using Extents = std::map<uint64_t, Extent>;  // by start

struct Cache {
    std::mutex mutex;
    std::unordered_map<std::string, Extents> objects;
    std::list<LruEntry> lru;  // most recently used first
    uint64_t bytes = 0;
    uint64_t capacity = CacheBytesSetting();
};

Cache* cache = nullptr;

// Copies are made outside the lock; the fork handlers keep the lock's state whole in a child.
void PrepareFork() {
    cache->mutex.lock();
}
void AfterFork() {
    cache->mutex.unlock();
}

Cache& TheCache() {
    static std::once_flag once;
    std::call_once(once, [] {
        cache = new Cache;
        pthread_atfork(PrepareFork, AfterFork, AfterFork);
    });
    return *cache;
}

// The first extent that ends after `offset`.
Extents::iterator FirstEndingAfter(Extents& extents, uint64_t offset) {
    auto it = extents.upper_bound(offset);
    if (it != extents.begin()) {
        auto before = std::prev(it);
        if (before->second.end > offset) return before;
    }
    return it;
}

void EvictBeyond(Cache& c, uint64_t capacity) {
    while (c.bytes > capacity && !c.lru.empty()) {
        const LruEntry last = c.lru.back();
        c.lru.pop_back();
        auto object = c.objects.find(*last.key);
        auto extent = object->second.find(last.start);
        c.bytes -= extent->second.end - last.start;
        object->second.erase(extent);
        if (object->second.empty()) c.objects.erase(object);
    }
}

struct Copy {
    Buffer bytes;
    const uint8_t* from = nullptr;
    uint8_t* to = nullptr;
    uint64_t size = 0;
};

}  // namespace

void ReadCached(const std::string& key, uint64_t offset, uint64_t size, uint8_t* dest,
                std::vector<ByteSpan>* missing) {
    Cache& c = TheCache();
    const uint64_t end = offset + size;
    std::vector<Copy> copies;
    {
        std::lock_guard lock(c.mutex);
        auto object = c.objects.find(key);
        if (object == c.objects.end()) {
            missing->push_back({offset, size});
            return;
        }
        Extents& extents = object->second;
        uint64_t at = offset;
        for (auto it = FirstEndingAfter(extents, at); at < end; ++it) {
            if (it == extents.end() || it->first >= end) {
                missing->push_back({at, end - at});
                break;
            }
            if (it->first > at) {
                missing->push_back({at, it->first - at});
                at = it->first;
            }
            const uint64_t stop = std::min(end, it->second.end);
            if (dest != nullptr)
                copies.push_back({it->second.bytes,
                                  it->second.bytes->data() + (at - it->second.bytesStart),
                                  dest + (at - offset), stop - at});
            c.lru.splice(c.lru.begin(), c.lru, it->second.lru);
            at = stop;
        }
    }
    for (const Copy& copy : copies)
        memcpy(copy.to, copy.from, copy.size);
}

void KeepInCache(const std::string& key, uint64_t offset, const Buffer& bytes) {
    Cache& c = TheCache();
    const uint64_t end = offset + bytes->size();
    std::lock_guard lock(c.mutex);
    if (bytes->empty() || bytes->size() > c.capacity) return;
    auto [object, added] = c.objects.try_emplace(key);
    Extents& extents = object->second;
    uint64_t at = offset;
    auto it = FirstEndingAfter(extents, at);
    while (at < end) {
        if (it != extents.end() && it->first <= at) {
            at = std::min(end, it->second.end);
            ++it;
            continue;
        }
        const uint64_t stop = it == extents.end() ? end : std::min(end, it->first);
        c.lru.push_front({&object->first, at});
        extents.emplace(at, Extent{stop, bytes, offset, c.lru.begin()});
        c.bytes += stop - at;
        at = stop;
    }
    EvictBeyond(c, c.capacity);
}

uint64_t CachedRun(const std::string& key, uint64_t offset, uint64_t limit) {
    Cache& c = TheCache();
    std::lock_guard lock(c.mutex);
    auto object = c.objects.find(key);
    if (object == c.objects.end()) return 0;
    Extents& extents = object->second;
    uint64_t at = offset;
    for (auto it = FirstEndingAfter(extents, at);
         it != extents.end() && it->first <= at && at - offset < limit; ++it)
        at = it->second.end;
    return std::min(at - offset, limit);
}

uint64_t CacheCapacity() {
    Cache& c = TheCache();
    std::lock_guard lock(c.mutex);
    return c.capacity;
}

void SetCacheCapacity(uint64_t bytes) {
    Cache& c = TheCache();
    std::lock_guard lock(c.mutex);
    c.capacity = bytes;
    EvictBeyond(c, bytes);
}

uint64_t CachedBytes() {
    Cache& c = TheCache();
    std::lock_guard lock(c.mutex);
    return c.bytes;
}

}  // namespace tarn::remote
