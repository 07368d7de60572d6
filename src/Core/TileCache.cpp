#include "DecodeTarn/TileCache.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "Common/PixelCopy.h"

namespace tarn {

// One tile: this header, then its pixels in the same block. Entries are reference counted: the
// cache's index holds one reference while the entry is in it, each pin one more. Whoever drops the
// last frees the block, so unpinning needs no lock.
struct CachedTile {
    std::atomic<uint32_t> references{1};
    uint32_t width = 0;
    uint32_t height = 0;
    size_t charge = 0;
    uint64_t hash = 0;
    TileKey key;
    // Shard links, used under the shard's lock while the entry is indexed.
    CachedTile* chain = nullptr;  // next in its hash bucket
    CachedTile* newer = nullptr;
    CachedTile* older = nullptr;
};

namespace {

constexpr size_t kHeaderBytes = (sizeof(CachedTile) + 63) / 64 * 64;
static_assert(kHeaderBytes + 2 * sizeof(void*) + 32 <= kTileEntryOverhead,
              "the overhead counted per entry covers its header, bucket slot and malloc's own");

uint8_t* PixelsOf(CachedTile* entry) {
    return reinterpret_cast<uint8_t*>(entry) + kHeaderBytes;
}

void DropReference(CachedTile* entry) {
    if (entry->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    entry->~CachedTile();
    free(entry);
}

// Keys the first touch notes, per shard: a ring of the most recent key hashes, searched whole on
// a miss (a few dozen words: nothing beside a decode). A key pushed out of the ring is forgotten,
// and its next touch counts as a first one again. A shard remembers
// about one and a half times as many keys as it holds usual tiles: a tile touched again beyond
// that horizon would be pushed out before its next touch, and decoding it whole would be wasted
// (random reads over a slide larger than the cache touch most tiles twice, far apart).
constexpr size_t kSeenSlots = 512;
constexpr size_t kLeastSeenSlots = 16;
constexpr size_t kUsualTileCharge = 256 * 256 * 3 + kTileEntryOverhead;

size_t SeenSlotsFor(size_t share) {
    const size_t slots = share / kUsualTileCharge * 3 / 2;
    return slots < kLeastSeenSlots ? kLeastSeenSlots : (slots > kSeenSlots ? kSeenSlots : slots);
}
constexpr int kMaxShards = 8;
// A cache left to choose its shards gives each at least this much, so that a small cache still
// keeps large tiles (a share must hold a tile); from 32 MiB on it has all of them.
constexpr size_t kLeastShare = size_t{4} << 20;

struct Bucket {
    CachedTile* first;
};

struct alignas(64) Shard {
    std::mutex mutex;
    Bucket* buckets = nullptr;  // bucketCount chains; the count is 0 or a power of two
    size_t bucketCount = 0;
    CachedTile* newest = nullptr;  // the LRU list, newest to oldest
    CachedTile* oldest = nullptr;
    size_t share = 0;
    size_t bytes = 0;
    size_t entries = 0;
    std::atomic<uint64_t> hits{0};
    std::atomic<uint64_t> misses{0};
    uint64_t seen[kSeenSlots] = {};
    size_t seenSlots = kLeastSeenSlots;  // of `seen` in use, under the lock
    size_t seenNext = 0;                 // the ring's next slot to overwrite
};

}  // namespace

struct TileCache {
    std::atomic<int> references{1};
    std::atomic<size_t> capacity{0};
    std::mutex resizing;  // one capacity change at a time, so every shard ends with its share
    int fixedShards = 0;  // 0: as many as the capacity gives kLeastShare to, at most kMaxShards
    std::atomic<int> shardCount{1};  // the first shardCount shards are in use
    Shard shards[kMaxShards];
};

namespace {

uint64_t Finalize(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

uint64_t HashOf(const TileKey& key) {
    const uint64_t parts[] = {key.file.device,
                              key.file.inode,
                              static_cast<uint64_t>(key.file.size),
                              static_cast<uint64_t>(key.file.modifiedSeconds),
                              static_cast<uint64_t>(key.file.modifiedNanoseconds),
                              key.file.generation,
                              key.colorTag,
                              key.layer,
                              key.tile};
    uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (const uint64_t part : parts)
        h = Finalize(h ^ part);
    return h != 0 ? h : 1;  // 0 marks a free slot of the first-touch table
}

int ShardsInUse(const TileCache& cache) {
    return cache.shardCount.load(std::memory_order_acquire);
}

// A key's shard among those in use now. While a capacity change alters their number, a key may be
// looked for in another shard than it was kept in: a miss, never a wrong tile.
Shard& ShardOf(TileCache& cache, uint64_t hash) {
    return cache.shards[(hash >> 32) % static_cast<uint64_t>(ShardsInUse(cache))];
}

int ShardCountFor(const TileCache& cache, size_t capacity) {
    if (cache.fixedShards != 0) return cache.fixedShards;
    return static_cast<int>(std::clamp<size_t>(capacity / kLeastShare, 1, kMaxShards));
}

size_t ShareOf(size_t capacity, int shards, int index) {
    const size_t count = static_cast<size_t>(shards);
    return capacity / count + (static_cast<size_t>(index) < capacity % count ? 1 : 0);
}

// ---- A shard's index and LRU list; every function here runs under the shard's lock.

CachedTile** BucketOf(const Shard& shard, uint64_t hash) {
    return &shard.buckets[hash & (shard.bucketCount - 1)].first;
}

CachedTile* Find(const Shard& shard, uint64_t hash, const TileKey& key) {
    if (shard.bucketCount == 0) return nullptr;
    for (CachedTile* entry = *BucketOf(shard, hash); entry != nullptr; entry = entry->chain)
        if (entry->hash == hash && entry->key == key) return entry;
    return nullptr;
}

void LinkNewest(Shard& shard, CachedTile* entry) {
    entry->older = shard.newest;
    entry->newer = nullptr;
    if (shard.newest != nullptr) shard.newest->newer = entry;
    shard.newest = entry;
    if (shard.oldest == nullptr) shard.oldest = entry;
}

void Unlink(Shard& shard, CachedTile* entry) {
    if (entry->newer != nullptr)
        entry->newer->older = entry->older;
    else
        shard.newest = entry->older;
    if (entry->older != nullptr)
        entry->older->newer = entry->newer;
    else
        shard.oldest = entry->newer;
}

// Room in the bucket array for one more entry: doubled once there are as many entries as buckets.
// When memory runs out the chains grow longer instead; only the first array is a must.
bool MakeRoom(Shard& shard) {
    if (shard.entries < shard.bucketCount) return true;
    const size_t count = shard.bucketCount == 0 ? 16 : shard.bucketCount * 2;
    auto* buckets = static_cast<Bucket*>(calloc(count, sizeof(Bucket)));
    if (buckets == nullptr) return shard.bucketCount != 0;
    for (size_t i = 0; i < shard.bucketCount; ++i) {
        for (CachedTile* entry = shard.buckets[i].first; entry != nullptr;) {
            CachedTile* next = entry->chain;
            CachedTile** bucket = &buckets[entry->hash & (count - 1)].first;
            entry->chain = *bucket;
            *bucket = entry;
            entry = next;
        }
    }
    free(shard.buckets);
    shard.buckets = buckets;
    shard.bucketCount = count;
    return true;
}

void Index(Shard& shard, CachedTile* entry) {
    CachedTile** bucket = BucketOf(shard, entry->hash);
    entry->chain = *bucket;
    *bucket = entry;
    LinkNewest(shard, entry);
    shard.bytes += entry->charge;
    ++shard.entries;
}

// Takes the entry out of the index; the index's reference passes to the caller.
void Remove(Shard& shard, CachedTile* entry) {
    CachedTile** link = BucketOf(shard, entry->hash);
    while (*link != entry)
        link = &(*link)->chain;
    *link = entry->chain;
    Unlink(shard, entry);
    shard.bytes -= entry->charge;
    --shard.entries;
}

// Evicts the oldest entries until the shard holds at most `bytes`. The evicted entries are
// chained through `chain` for the caller to drop after unlocking: freeing is no work for a lock.
CachedTile* EvictDownTo(Shard& shard, size_t bytes) {
    CachedTile* evicted = nullptr;
    while (shard.bytes > bytes) {
        CachedTile* entry = shard.oldest;
        Remove(shard, entry);
        entry->chain = evicted;
        evicted = entry;
    }
    return evicted;
}

void DropAll(CachedTile* evicted) {
    while (evicted != nullptr) {
        // The analyzer cannot see that an entry is chained only once.
        CachedTile* next = evicted->chain;  // NOLINT(clang-analyzer-unix.Malloc)
        DropReference(evicted);
        evicted = next;
    }
}

// Whether the ring holds `hash`; a key found is taken out (it is about to be kept).
bool SeenBefore(Shard& shard, uint64_t hash) {
    for (size_t i = 0; i < shard.seenSlots; ++i) {
        if (shard.seen[i] == hash) {
            shard.seen[i] = 0;
            return true;
        }
    }
    return false;
}

void NoteSeen(Shard& shard, uint64_t hash) {
    shard.seen[shard.seenNext] = hash;
    shard.seenNext = (shard.seenNext + 1) % shard.seenSlots;
}

// Gives the first `count` shards their share of `capacity`, evicting what no longer fits; the
// others get none and are emptied.
void Apportion(TileCache& cache, size_t capacity, int count) {
    for (int i = 0; i < kMaxShards; ++i) {
        Shard& shard = cache.shards[i];
        CachedTile* evicted = nullptr;
        {
            const std::lock_guard<std::mutex> lock(shard.mutex);
            shard.share = i < count ? ShareOf(capacity, count, i) : 0;
            shard.seenSlots = SeenSlotsFor(shard.share);
            shard.seenNext = 0;
            evicted = EvictDownTo(shard, shard.share);
        }
        DropAll(evicted);
    }
}

void DestroyCache(TileCache* cache) {
    for (Shard& shard : cache->shards) {
        DropAll(EvictDownTo(shard, 0));
        free(shard.buckets);
    }
    delete cache;
}

bool AllDigits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

}  // namespace

// ---- Caches.

TileCache* CreateTileCache(size_t capacity, int shards) {
    if (shards < 0 || shards > kMaxShards) return nullptr;
    auto* cache = new (std::nothrow) TileCache;
    if (cache == nullptr) return nullptr;
    cache->fixedShards = shards;
    const int count = ShardCountFor(*cache, capacity);
    cache->shardCount.store(count, std::memory_order_relaxed);
    cache->capacity.store(capacity, std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
        cache->shards[i].share = ShareOf(capacity, count, i);
        cache->shards[i].seenSlots = SeenSlotsFor(cache->shards[i].share);
    }
    return cache;
}

TileCache* CreateTileCache(size_t capacity) {
    return CreateTileCache(capacity, 0);
}

size_t TileCacheSizeFrom(const char* text) {
    if (text == nullptr || !AllDigits(text)) return kDefaultTileCacheSize;
    errno = 0;
    const unsigned long long value = strtoull(text, nullptr, 10);
    if (errno == ERANGE || value > SIZE_MAX) return SIZE_MAX;
    return static_cast<size_t>(value);
}

TileCache* DefaultTileCache() {
    // The environment is read once: a later change does not resize a cache in use.
    static TileCache* const cache = CreateTileCache(TileCacheSizeFrom(getenv("TARN_CACHE_SIZE")));
    return cache;
}

void RetainTileCache(TileCache* cache) {
    if (cache != nullptr) cache->references.fetch_add(1, std::memory_order_relaxed);
}

void ReleaseTileCache(TileCache* cache) {
    if (cache != nullptr && cache->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        DestroyCache(cache);
}

void SetTileCacheCapacity(TileCache* cache, size_t capacity) {
    if (cache == nullptr) return;
    const std::lock_guard<std::mutex> resizing(cache->resizing);
    const int count = ShardCountFor(*cache, capacity);
    if (count != ShardsInUse(*cache)) {
        // Keys move between shards, where the tiles kept would be found no more: they go now.
        Apportion(*cache, 0, count);
        cache->shardCount.store(count, std::memory_order_release);
    }
    cache->capacity.store(capacity, std::memory_order_relaxed);
    Apportion(*cache, capacity, count);
}

TileCacheStats TileCacheStatsOf(TileCache* cache) {
    TileCacheStats stats{};
    if (cache == nullptr) return stats;
    stats.capacity = cache->capacity.load(std::memory_order_relaxed);
    for (Shard& shard : cache->shards) {
        stats.hits += shard.hits.load(std::memory_order_relaxed);
        stats.misses += shard.misses.load(std::memory_order_relaxed);
        const std::lock_guard<std::mutex> lock(shard.mutex);
        stats.bytes += shard.bytes;
        stats.entries += shard.entries;
    }
    return stats;
}

// ---- Keys.

uint64_t ColorTagOf(const ColorParams& params) {
    // FNV-1a over the parameters' bytes: equal parameters give equal tags.
    uint8_t bytes[sizeof(ColorParams)];
    memcpy(bytes, &params, sizeof bytes);
    uint64_t h = 0xcbf29ce484222325ULL;
    for (const uint8_t byte : bytes)
        h = (h ^ byte) * 0x100000001b3ULL;
    h = Finalize(h);
    return h != kNoColorTag ? h : 1;
}

size_t TileCharge(uint32_t width, uint32_t height) {
    uint64_t pixels = 0, charge = 0;
    if (!CheckedMultiply(uint64_t{width} * height, 3, &pixels) ||
        !CheckedAdd(pixels, kTileEntryOverhead, &charge) || charge > SIZE_MAX)
        return SIZE_MAX;
    return static_cast<size_t>(charge);
}

// ---- Pins.

TilePin::TilePin(TilePin&& other) noexcept
    : entry_(std::exchange(other.entry_, nullptr)), fresh_(std::exchange(other.fresh_, false)) {}

TilePin& TilePin::operator=(TilePin&& other) noexcept {
    if (this != &other) {
        Reset();
        entry_ = std::exchange(other.entry_, nullptr);
        fresh_ = std::exchange(other.fresh_, false);
    }
    return *this;
}

void TilePin::Reset() {
    if (entry_ != nullptr) DropReference(entry_);
    entry_ = nullptr;
    fresh_ = false;
}

uint32_t TilePin::width() const {
    return entry_ != nullptr ? entry_->width : 0;
}
uint32_t TilePin::height() const {
    return entry_ != nullptr ? entry_->height : 0;
}
const uint8_t* TilePin::pixels() const {
    return entry_ != nullptr ? PixelsOf(entry_) : nullptr;
}
uint8_t* TilePin::mutablePixels() const {
    return fresh_ ? PixelsOf(entry_) : nullptr;
}

// ---- Reads.

TileAdmission FindTile(TileCache* cache, const TileKey& key, uint32_t width, uint32_t height,
                       TilePin* pin) {
    pin->Reset();
    if (cache == nullptr) return TileAdmission::DecodePart;
    const uint64_t hash = HashOf(key);
    Shard& shard = ShardOf(*cache, hash);
    // Caching off, colours without identity, or a tile no share can hold: no lock, no note.
    const size_t leastShare =
        cache->capacity.load(std::memory_order_relaxed) / static_cast<size_t>(ShardsInUse(*cache));
    if (key.colorTag == kNoColorTag || TileCharge(width, height) > leastShare) {
        shard.misses.fetch_add(1, std::memory_order_relaxed);
        return TileAdmission::DecodePart;
    }

    const std::lock_guard<std::mutex> lock(shard.mutex);
    if (CachedTile* entry = Find(shard, hash, key); entry != nullptr) {
        if (shard.newest != entry) {
            Unlink(shard, entry);
            LinkNewest(shard, entry);
        }
        entry->references.fetch_add(1, std::memory_order_relaxed);
        pin->entry_ = entry;
        shard.hits.fetch_add(1, std::memory_order_relaxed);
        return TileAdmission::Hit;
    }
    shard.misses.fetch_add(1, std::memory_order_relaxed);
    const uint64_t note = hash != 0 ? hash : 1;  // 0 marks an empty slot of the ring
    if (SeenBefore(shard, note)) return TileAdmission::DecodeWhole;
    NoteSeen(shard, note);
    return TileAdmission::DecodePart;
}

bool AllocateTile(uint32_t width, uint32_t height, TilePin* pin) {
    pin->Reset();
    const size_t charge = TileCharge(width, height);
    if (charge == SIZE_MAX) return false;
    void* block = malloc(kHeaderBytes + (charge - kTileEntryOverhead));
    if (block == nullptr) return false;
    auto* entry = new (block) CachedTile;
    entry->width = width;
    entry->height = height;
    entry->charge = charge;
    pin->entry_ = entry;
    pin->fresh_ = true;
    return true;
}

void InsertTile(TileCache* cache, const TileKey& key, TilePin* pin) {
    if (cache == nullptr || !pin->fresh_) return;
    pin->fresh_ = false;  // whether kept or not, the pixels are final now
    CachedTile* entry = pin->entry_;
    entry->key = key;
    entry->hash = HashOf(key);
    Shard& shard = ShardOf(*cache, entry->hash);
    CachedTile* evicted = nullptr;
    {
        const std::lock_guard<std::mutex> lock(shard.mutex);
        if (entry->charge > shard.share || Find(shard, entry->hash, key) != nullptr ||
            !MakeRoom(shard))
            return;
        // Room first: the share holds the new entry alone, so older ones make way for it.
        evicted = EvictDownTo(shard, shard.share - entry->charge);
        entry->references.fetch_add(1, std::memory_order_relaxed);  // the index's
        Index(shard, entry);
    }
    DropAll(evicted);
}

bool CopyTilePart(const TilePin& tile, const PixelRect& part, uint8_t* dst, size_t dstStride,
                  PixelFormat format) {
    if (!tile || part.x > tile.width() || part.width > tile.width() - part.x ||
        part.y > tile.height() || part.height > tile.height() - part.y)
        return false;
    const size_t stride = tile.stride();
    CopyBgrPixels(tile.pixels() + part.y * stride + size_t{part.x} * 3, stride, part.width,
                  part.height, dst, dstStride, format);
    return true;
}

}  // namespace tarn
