// The process's cache of fetched bytes: extents of objects, keyed by the object's identity key
// and offset, the least recently used given up first when the bytes pass the bound. Extents of
// one object never overlap; an extent is a view into the buffer one request filled, so keeping a
// fetch costs no copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarn::remote {

struct ByteSpan {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Copies what the cache holds of [offset, offset + size) of object `key` into `dest` (unless
// null) and appends the parts it lacks to `missing`, in order.
void ReadCached(const std::string& key, uint64_t offset, uint64_t size, uint8_t* dest,
                std::vector<ByteSpan>* missing);

// Keeps `bytes`, which hold the object's bytes from `offset` on; parts already held stay as
// they are.
void KeepInCache(const std::string& key, uint64_t offset,
                 const std::shared_ptr<const std::vector<uint8_t>>& bytes);

// How many bytes from `offset` on (at most `limit`) the cache holds without a gap.
uint64_t CachedRun(const std::string& key, uint64_t offset, uint64_t limit);

uint64_t CacheCapacity();
void SetCacheCapacity(uint64_t bytes);
uint64_t CachedBytes();

}  // namespace tarn::remote
