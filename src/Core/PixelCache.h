// A cache of corrected tiles, so that a read that repeats an earlier one copies pixels instead of
// decoding them.
//
// An entry is a whole tile of corrected blue-green-red pixels; a read copies the part it needs in
// the layout it needs. A miss costs what a read without cache costs: it decodes just the rows and
// columns asked for, straight into the caller's buffer, and only notes what it asked for. A tile
// is decoded whole and kept only when a read asks for a part of it that a recent read asked for
// too (a repeated read: a viewer going back, a training pass over the same patches), or for any
// part of a tile one of the last few dozen reads touched (a viewer's window of neighbouring
// tiles, overlapping patches). So reads that never repeat (random access, an export, a first
// pass) cost what they cost without the cache: no tile is decoded whole that may not be read
// again, and no memory is spent on it.
// A tile kept takes over the memory of the tile it evicts when that one is not in use, so a full
// cache recycles its memory instead of allocating afresh (fresh memory costs page faults, which a
// virtual machine makes dear).
//
// The entries live in a sharded byte-bounded LRU (util/Lru.h): one shard per 4 MiB of capacity,
// up to 8 (from 32 MiB on), so that a small cache still keeps large tiles. An entry counts its
// pixels plus a fixed overhead. A reader pins the entry it copies from: one evicted meanwhile is
// freed when its last pin goes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/Status.h"
#include "ColorCorrect/ColorTables.h"
#include "Common/Geometry.h"
#include "Common/PixelFormat.h"
#include "Common/FileRecords.h"

namespace tarn {

struct PixelCache;
struct ReadContext;

struct PixelCacheStats {
    uint64_t hits;      // reads copied from the cache
    uint64_t misses;    // reads that decoded
    uint64_t bytes;     // held now, pixels and overhead
    uint64_t capacity;  // the bound on `bytes`
    uint64_t entries;   // tiles held now
};

// The process's cache, which slides read through unless given one of their own: 64 MiB, or the
// TARN_CACHE_SIZE environment variable (bytes; 0 turns it off) as it was at the first call. Null
// only when memory ran out at that call.
PixelCache* DefaultPixelCache();

// A new cache with one reference; null when memory runs out. A capacity of 0 keeps nothing.
PixelCache* CreatePixelCache(size_t capacity);
// References; the cache goes with the last one (pins held by readers stay valid). Null is ignored.
void RetainPixelCache(PixelCache* cache);
void ReleasePixelCache(PixelCache* cache);
// Changes the bound, dropping the least recently used tiles that no longer fit (all of them when
// the number of shards changes with it).
void SetPixelCacheCapacity(PixelCache* cache, size_t capacity);
// Zero for a null cache.
PixelCacheStats PixelCacheStatsOf(PixelCache* cache);

// ---- What the tile path uses.

// Colours without an identity of their own (a table a caller built by hand and may change):
// tiles corrected with them are never kept.
constexpr uint64_t kNoColorTag = 0;
// The tag of the table built from `params`: tables of equal parameters correct alike and share
// entries. Never kNoColorTag.
uint64_t ColorTagOf(const ColorParams& params);

// A tile is served only to reads of the content it was decoded from: `source` names the slide's
// bytes (AcquireSourceKey: a file's identity, which every read of its bytes checks), never a
// handle on another file that has since taken the same path. Keys with a source or colour tag of
// 0 are never kept.
struct PixelKey {
    uint64_t source = 0;
    uint64_t colorTag = kNoColorTag;
    uint32_t layer = 0;
    uint64_t tile = 0;  // row * columns + column
    bool operator==(const PixelKey& other) const = default;
};

// The key of tile (x, y) of `layer` in a read.
PixelKey TileKeyOf(const ReadContext& read, uint32_t layer, uint32_t x, uint32_t y);

// Bytes an entry of width x height counts against the capacity; SIZE_MAX when that overflows.
constexpr size_t kTileEntryOverhead = 256;
size_t TileCharge(uint32_t width, uint32_t height);

struct CachedTile;

// What a read does about a tile.
enum class TileAdmission {
    Hit,          // `*pin` holds the tile: copy from it
    DecodePart,   // not kept (first touch, too large, caching off): decode only what is needed
    DecodeWhole,  // asked for again: decode the whole tile into a new entry and insert it
};

// A tile held for reading. An entry found in the cache stays valid, evicted or not, until its
// pin is reset or destroyed. A pin from AllocateTile holds a new entry that only its owner sees,
// to be filled through mutablePixels() and then kept with InsertTile.
class TilePin {
  public:
    TilePin() = default;
    ~TilePin() { Reset(); }
    TilePin(TilePin&& other) noexcept;
    TilePin& operator=(TilePin&& other) noexcept;
    TilePin(const TilePin&) = delete;
    TilePin& operator=(const TilePin&) = delete;

    void Reset();
    explicit operator bool() const { return entry_ != nullptr; }
    uint32_t width() const;
    uint32_t height() const;
    size_t stride() const { return size_t{width()} * 3; }
    const uint8_t* pixels() const;
    // Null unless the pin holds a new entry not yet inserted.
    uint8_t* mutablePixels() const;

  private:
    friend struct TilePinAccess;
    CachedTile* entry_ = nullptr;
    bool fresh_ = false;
};

// Looks `key` up for a tile of width x height. A hit pins the entry and counts as a hit; anything
// else counts as a miss. `part` tags the part of the tile the read asks for: a miss of a key
// whose same part was noted recently answers DecodeWhole, any other notes it and answers
// DecodePart. A null cache answers DecodePart.
TileAdmission FindTile(PixelCache* cache, const PixelKey& key, uint32_t width, uint32_t height,
                       TilePin* pin, uint64_t part = 0);

// Whether the cache keeps tiles of width x height at all (it exists and a share holds one).
bool CacheKeepsTiles(PixelCache* cache, uint32_t width, uint32_t height);

// Whether the cache holds `key` now, without counting a hit or a miss.
bool TileIsCached(PixelCache* cache, const PixelKey& key);

// A new entry of width x height pixels in `*pin`; false when memory runs out.
bool AllocateTile(uint32_t width, uint32_t height, TilePin* pin);

// The same for an entry about to be kept under `key` in `cache`: the tiles it will push out of
// its shard go now, and the memory of one no reader holds is reused for it.
bool AllocateTile(PixelCache* cache, const PixelKey& key, uint32_t width, uint32_t height,
                  TilePin* pin);

// Keeps the new entry in `*pin` under `key`, evicting the least recently used tiles of its shard
// as needed. Not kept when it no longer fits (the capacity shrank) or `key` is there already (a
// thread that decoded it at the same time); either way `*pin` still holds the pixels to copy.
void InsertTile(PixelCache* cache, const PixelKey& key, TilePin* pin);

// Copies `part` (tile coordinates) of a pinned tile into `dst` (rows `dstStride` bytes apart) in
// `format`. False, with nothing written, when `part` is not inside the tile.
bool CopyTilePart(const TilePin& tile, const PixelRect& part, uint8_t* dst, size_t dstStride,
                  PixelFormat format);

// Draws `part` of the tile under `key` (tileWidth x tileHeight) into `dst` in `format`: copied on
// a hit, otherwise through decode(rect, out, outStride, outFormat), which draws rectangle `rect`
// of the tile into `out` and returns Status::Ok or a failure code. A tile whose part `partTag` was
// asked for recently is decoded whole into a new entry and kept. When that whole decode fails
// (damage in rows a partial decode never reaches) or finds no memory, the part is decoded as on a
// first touch, so a read that succeeds without the cache succeeds with it.
// With `keepLargePart`, a first touch of at least half of the tile, but not all of it, is decoded
// whole and kept too.
template <class Decode>
Status DrawThroughCache(PixelCache* cache, const PixelKey& key, uint32_t tileWidth,
                        uint32_t tileHeight, const PixelRect& part, uint8_t* dst, size_t dstStride,
                        PixelFormat format, Decode&& decode, uint64_t partTag = 0,
                        bool keepLargePart = false) {
    TilePin tile;
    const TileAdmission admission = FindTile(cache, key, tileWidth, tileHeight, &tile, partTag);
    const uint64_t partArea = uint64_t{part.width} * part.height;
    const uint64_t tileArea = uint64_t{tileWidth} * tileHeight;
    const bool large = keepLargePart && partArea < tileArea && 2 * partArea >= tileArea;
    if (admission == TileAdmission::DecodeWhole ||
        (admission == TileAdmission::DecodePart && large &&
         CacheKeepsTiles(cache, tileWidth, tileHeight))) {
        const PixelRect whole{0, 0, tileWidth, tileHeight};
        if (AllocateTile(cache, key, tileWidth, tileHeight, &tile) &&
            decode(whole, tile.mutablePixels(), tile.stride(), PixelFormat::Bgr) == Status::Ok)
            InsertTile(cache, key, &tile);
        else
            tile.Reset();
    }
    if (!tile) return decode(part, dst, dstStride, format);
    return CopyTilePart(tile, part, dst, dstStride, format) ? Status::Ok : Status::Undecodable;
}

// ---- For tests.

// A cache split into `shards` (1 to 8) shards whatever its capacity; one shard makes the LRU
// order exact. 0 lets the capacity choose, as CreatePixelCache(capacity) does.
PixelCache* CreatePixelCache(size_t capacity, int shards);

// The capacity TARN_CACHE_SIZE asks for: a decimal byte count (larger than memory can be:
// SIZE_MAX), the default for a missing or malformed value.
size_t PixelCacheSizeFrom(const char* text);
constexpr size_t kDefaultPixelCacheSize = size_t{64} << 20;

}  // namespace tarn
