#include "EncodedCache.h"

#include <utility>

namespace tarncli::serve {

uint64_t EncodedCache::KeyHash::operator()(const EncodedKey& key) const {
    // FNV-1a over the request and format, then mixed with the slide so that the high bits, which
    // pick the shard, depend on every part.
    uint64_t h = 0xcbf29ce484222325ULL;
    for (const std::string* part : {&key.request, &key.format}) {
        for (const char c : *part) {
            h ^= static_cast<unsigned char>(c);
            h *= 0x100000001b3ULL;
        }
        h = (h ^ 0xff) * 0x100000001b3ULL;  // ends the part: ("ab", "c") is not ("a", "bc")
    }
    h = (h ^ key.slide) * 0x9e3779b97f4a7c15ULL;
    return h ^ (h >> 29);
}

EncodedCache::EncodedCache(size_t capacityBytes)
    : entries_(capacityBytes, tarn::util::LruShards{16, 0, 16}) {}

EncodedPtr EncodedCache::Find(const EncodedKey& key) {
    EncodedPtr encoded;
    return entries_.Find(key, &encoded) ? encoded : nullptr;
}

void EncodedCache::Insert(const EncodedKey& key, EncodedPtr encoded) {
    // The bytes, plus what the key, the cache's node and the shared block cost.
    const size_t cost =
        encoded->bytes.size() + encoded->etag.size() + key.request.size() + key.format.size() + 160;
    entries_.Insert(key, std::move(encoded), cost);
}

void EncodedCache::DropSlide(uint32_t slide) {
    entries_.EraseIf([slide](const EncodedKey& key) { return key.slide == slide; });
}

EncodedCacheStats EncodedCache::Stats() const {
    const tarn::util::LruStats stats = entries_.Stats();
    return {stats.hits, stats.misses, stats.bytes, stats.capacity, stats.entries};
}

}  // namespace tarncli::serve
