#include "Core/PixelCache.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "Common/ForkHeld.h"
#include "Common/PixelCopy.h"
#include "Core/TileMemory.h"
#include "Core/Tiles.h"
#include "util/Lru.h"

namespace tarn {

// One tile: this header, then its pixels in the same block. Blocks are reference counted: the
// cache's index holds one reference while the entry is in it, each pin one more. Whoever drops
// the last frees the block, so unpinning needs no lock.
struct CachedTile {
    std::atomic<uint32_t> references{1};
    uint32_t width = 0;
    uint32_t height = 0;
    size_t charge = 0;
    Slab* slab = nullptr;  // where the block came from (TileMemory.h)
};

// The library's way into a pin's block.
struct TilePinAccess {
    static CachedTile*& Entry(TilePin& pin) { return pin.entry_; }
    static bool& Fresh(TilePin& pin) { return pin.fresh_; }
};

namespace {

constexpr size_t kHeaderBytes = (sizeof(CachedTile) + 63) / 64 * 64;
static_assert(kHeaderBytes + 96 + 32 <= kTileEntryOverhead,
              "the overhead counted per entry covers its header, the LRU's node and malloc's own");

uint8_t* PixelsOf(CachedTile* entry) {
    return reinterpret_cast<uint8_t*>(entry) + kHeaderBytes;
}

void DropReference(CachedTile* entry) {
    if (entry->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    Slab* slab = entry->slab;
    entry->~CachedTile();
    GiveBlock(entry, slab);
}

// The value the LRU holds: one counted reference to a block.
class TileRef {
  public:
    TileRef() = default;
    explicit TileRef(CachedTile* entry) : entry_(entry) {}
    TileRef(const TileRef& other) : entry_(other.entry_) {
        if (entry_ != nullptr) entry_->references.fetch_add(1, std::memory_order_relaxed);
    }
    TileRef(TileRef&& other) noexcept : entry_(std::exchange(other.entry_, nullptr)) {}
    TileRef& operator=(TileRef other) noexcept {
        std::swap(entry_, other.entry_);
        return *this;
    }
    ~TileRef() {
        if (entry_ != nullptr) DropReference(entry_);
    }
    // Hands the reference over to the caller.
    CachedTile* Release() { return std::exchange(entry_, nullptr); }
    CachedTile* get() const { return entry_; }

  private:
    CachedTile* entry_ = nullptr;
};

uint64_t Finalize(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

struct KeyHash {
    uint64_t operator()(const PixelKey& key) const {
        uint64_t h = 0x9e3779b97f4a7c15ULL;
        for (const uint64_t part : {key.source, key.colorTag, uint64_t{key.layer}, key.tile})
            h = Finalize(h ^ part);
        return h;
    }
};

using TileLru = util::Lru<PixelKey, TileRef, KeyHash>;

constexpr int kMaxShards = 8;
// A cache left to choose its shards gives each at least this much, so that a small cache still
// keeps large tiles (a share must hold a tile); from 32 MiB on it has all of them.
constexpr size_t kLeastShare = size_t{4} << 20;

// What the first touches note, in rings of the most recent tags (tile and part), searched whole
// on a miss (a few dozen words: nothing beside a decode). A tag pushed out of its ring is
// forgotten, and its next touch counts as a first one again. The rings remember about one and a
// half times as many touches as the cache holds usual tiles: a repeat beyond that horizon would
// find its tile pushed out before the next one, and decoding it whole would be wasted.
constexpr int kRings = 8;
constexpr size_t kRingSlots = 512;
constexpr size_t kLeastRingSlots = 16;
constexpr size_t kUsualTileCharge = 256 * 256 * 3 + kTileEntryOverhead;
// A tile touched again soon after, in any part, is part of what a reader is working through (a
// viewer's window of neighbouring tiles, overlapping patches): it is decoded whole and kept too.
// "Soon" is a few touches per ring, a few dozen in all: about what one region or a row of Deep
// Zoom tiles touches, far less than random reads need to meet a tile again.
constexpr size_t kNearSlots = 8;

struct alignas(64) SeenRing {
    std::mutex mutex;
    uint64_t tags[kRingSlots] = {};
    size_t slots = kLeastRingSlots;  // of `tags` in use
    size_t next = 0;                 // the next slot to overwrite
    uint64_t near[kNearSlots] = {};  // the last tiles touched, whatever their part
    size_t nearNext = 0;
};

size_t RingSlotsFor(size_t capacity) {
    const size_t slots = capacity / kRings / kUsualTileCharge * 3 / 2;
    return std::clamp(slots, kLeastRingSlots, kRingSlots);
}

// Whether the ring holds `tag` (this part of this tile) or, among its last few touches, `tile`
// (any part of it); what is found is taken out (its tile is about to be kept). Both are noted
// when neither is found.
bool SeenBefore(SeenRing& ring, uint64_t tag, uint64_t tile) {
    const std::lock_guard<std::mutex> lock(ring.mutex);
    bool seen = false;
    for (uint64_t& near : ring.near)
        if (near == tile) {
            near = 0;
            seen = true;
        }
    for (size_t i = 0; i < ring.slots; ++i)
        if (ring.tags[i] == tag) {
            ring.tags[i] = 0;
            seen = true;
        }
    if (seen) return true;
    ring.tags[ring.next] = tag;
    ring.next = (ring.next + 1) % ring.slots;
    ring.near[ring.nearNext] = tile;
    ring.nearNext = (ring.nearNext + 1) % kNearSlots;
    return false;
}

void ResizeRings(SeenRing* rings, size_t capacity) {
    for (int i = 0; i < kRings; ++i) {
        const std::lock_guard<std::mutex> lock(rings[i].mutex);
        rings[i].slots = RingSlotsFor(capacity);
        rings[i].next = 0;
        std::fill(std::begin(rings[i].tags), std::end(rings[i].tags), 0);
    }
}

bool AllDigits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

}  // namespace

struct PixelCache {
    PixelCache(size_t capacity, int shards)
        : lru(capacity, util::LruShards{shards, kLeastShare, kMaxShards}) {
        ResizeRings(rings, capacity);
    }
    ~PixelCache() { ReleaseTileArena(arena); }
    PixelCache(const PixelCache&) = delete;
    PixelCache& operator=(const PixelCache&) = delete;

    std::atomic<int> references{1};
    TileArena* arena = CreateTileArena();  // null without memory: entries then come from malloc
    TileLru lru;
    SeenRing rings[kRings];
};

// ---- Caches.

// Every cache of the process. fork() copies only the thread that calls it, while reads on other
// threads (the library's own coarse-level builds among them) may be inside a cache's locks: they
// are all taken around the fork, so the child finds each cache whole and unlocked.
namespace {

ForkHeld<PixelCache>& Live() {
    static auto* live = new ForkHeld<PixelCache>;  // never destroyed: reads may outlive exit
    return *live;
}

void LockCachesForFork() {
    Live().LockAll([](PixelCache& cache) {
        cache.lru.LockAll();
        for (SeenRing& ring : cache.rings)
            ring.mutex.lock();
        LockTileArena(cache.arena);
    });
}

void UnlockCachesAfterFork() {
    Live().UnlockAll([](PixelCache& cache) {
        UnlockTileArena(cache.arena);
        for (SeenRing& ring : cache.rings)
            ring.mutex.unlock();
        cache.lru.UnlockAll();
    });
}

}  // namespace

PixelCache* CreatePixelCache(size_t capacity, int shards) {
    if (shards < 0 || shards > kMaxShards) return nullptr;
    static const bool forkSafe =
        pthread_atfork(LockCachesForFork, UnlockCachesAfterFork, UnlockCachesAfterFork) == 0;
    (void)forkSafe;
    auto* cache = new (std::nothrow) PixelCache(capacity, shards);
    if (cache == nullptr) return nullptr;
    if (!Live().Add(cache)) {
        delete cache;
        return nullptr;
    }
    return cache;
}

PixelCache* CreatePixelCache(size_t capacity) {
    return CreatePixelCache(capacity, 0);
}

size_t PixelCacheSizeFrom(const char* text) {
    if (text == nullptr || !AllDigits(text)) return kDefaultPixelCacheSize;
    errno = 0;
    const unsigned long long value = strtoull(text, nullptr, 10);
    if (errno == ERANGE || value > SIZE_MAX) return SIZE_MAX;
    return static_cast<size_t>(value);
}

PixelCache* DefaultPixelCache() {
    // The environment is read once: a later change does not resize a cache in use.
    static PixelCache* const cache =
        CreatePixelCache(PixelCacheSizeFrom(getenv("TARN_CACHE_SIZE")));
    return cache;
}

void RetainPixelCache(PixelCache* cache) {
    if (cache != nullptr) cache->references.fetch_add(1, std::memory_order_relaxed);
}

void ReleasePixelCache(PixelCache* cache) {
    if (cache == nullptr || cache->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    Live().Remove(cache);
    delete cache;
}

void SetPixelCacheCapacity(PixelCache* cache, size_t capacity) {
    if (cache == nullptr) return;
    cache->lru.SetCapacity(capacity);
    ResizeRings(cache->rings, capacity);
}

PixelCacheStats PixelCacheStatsOf(PixelCache* cache) {
    if (cache == nullptr) return PixelCacheStats{};
    const util::LruStats stats = cache->lru.Stats();
    return {stats.hits, stats.misses, stats.bytes, stats.capacity, stats.entries};
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

PixelKey TileKeyOf(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y) {
    return {read.sourceKey, read.colorTag, layer, uint64_t{y} * read.layer(layer).grid.columns + x};
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

TileAdmission FindTile(PixelCache* cache, const PixelKey& key, uint32_t width, uint32_t height,
                       TilePin* pin, uint64_t part) {
    pin->Reset();
    if (cache == nullptr) return TileAdmission::DecodePart;
    // Caching off, colours or bytes without identity, or a tile no share can hold: no lookup, no
    // note.
    if (key.colorTag == kNoColorTag || key.source == 0 ||
        TileCharge(width, height) > cache->lru.LeastShare()) {
        cache->lru.CountMiss(key);
        return TileAdmission::DecodePart;
    }
    TileRef found;
    if (cache->lru.Find(key, &found)) {
        TilePinAccess::Entry(*pin) = found.Release();
        return TileAdmission::Hit;
    }
    const uint64_t hash = KeyHash()(key);
    const uint64_t tag = Finalize(hash ^ part) | 1;  // 0 marks an empty slot of a ring
    SeenRing& ring = cache->rings[(hash >> 40) % kRings];
    return SeenBefore(ring, tag, hash | 1) ? TileAdmission::DecodeWhole : TileAdmission::DecodePart;
}

bool CacheKeepsTiles(PixelCache* cache, uint32_t width, uint32_t height) {
    return cache != nullptr && TileCharge(width, height) <= cache->lru.LeastShare();
}

bool TileIsCached(PixelCache* cache, const PixelKey& key) {
    if (cache == nullptr) return false;
    return cache->lru.Contains(key);
}

namespace {

// A new entry from `arena` (null: malloc) in `*pin`.
bool NewEntry(TileArena* arena, uint32_t width, uint32_t height, TilePin* pin) {
    pin->Reset();
    const size_t charge = TileCharge(width, height);
    if (charge == SIZE_MAX) return false;
    Slab* slab = nullptr;
    void* block = TakeBlock(arena, kHeaderBytes + (charge - kTileEntryOverhead), &slab);
    if (block == nullptr) return false;
    auto* entry = new (block) CachedTile;
    entry->width = width;
    entry->height = height;
    entry->charge = charge;
    entry->slab = slab;
    TilePinAccess::Entry(*pin) = entry;
    TilePinAccess::Fresh(*pin) = true;
    return true;
}

}  // namespace

bool AllocateTile(uint32_t width, uint32_t height, TilePin* pin) {
    return NewEntry(nullptr, width, height, pin);
}

bool AllocateTile(PixelCache* cache, const PixelKey& key, uint32_t width, uint32_t height,
                  TilePin* pin) {
    pin->Reset();
    const size_t charge = TileCharge(width, height);
    if (cache == nullptr || charge == SIZE_MAX) return NewEntry(nullptr, width, height, pin);
    CachedTile* reused = nullptr;
    cache->lru.MakeRoomFor(key, charge, [&](TileRef&& evicted) {
        CachedTile* entry = evicted.get();
        // Only a block no reader holds, of the same size, can take the new tile.
        if (reused == nullptr && entry->charge == charge &&
            entry->references.load(std::memory_order_acquire) == 1)
            reused = evicted.Release();
    });
    if (reused == nullptr) return NewEntry(cache->arena, width, height, pin);
    reused->width = width;
    reused->height = height;
    TilePinAccess::Entry(*pin) = reused;
    TilePinAccess::Fresh(*pin) = true;
    return true;
}

void InsertTile(PixelCache* cache, const PixelKey& key, TilePin* pin) {
    if (cache == nullptr || !TilePinAccess::Fresh(*pin)) return;
    TilePinAccess::Fresh(*pin) = false;  // whether kept or not, the pixels are final now
    CachedTile* entry = TilePinAccess::Entry(*pin);
    entry->references.fetch_add(1, std::memory_order_relaxed);  // the index's, if it is kept
    cache->lru.Insert(key, TileRef(entry), entry->charge);
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
