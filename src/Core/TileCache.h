// A cache of corrected tiles, so that a repeated read copies pixels instead of decoding them.
//
// An entry is a whole tile of corrected blue-green-red pixels; a read copies the part it needs in
// the layout it needs. A tile is kept only the second time it is touched: the first touch decodes
// just the rows and columns asked for, as a read without cache does, and only notes the key. So a
// read that is never repeated costs what it did, and reading a slide once through (an export, a
// training pass) leaves the cache as it was. The second touch decodes the whole tile, keeps it and
// copies from it.
//
// The cache is split into shards by key, each with its own lock, LRU list and an equal share of
// the capacity, so that reads on several threads rarely meet on a lock: one shard per 4 MiB of
// capacity, up to 8 (from 32 MiB on), so that a small cache still keeps large tiles. A shard's
// bytes never exceed its share, so the cache never holds more than its capacity; a tile larger
// than a share is never kept. An entry counts its pixels plus a fixed overhead. A reader pins the
// entry it copies from: one evicted meanwhile is freed when its last pin goes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorTables.h"
#include "Common/FileAccess.h"
#include "Common/Geometry.h"
#include "Common/PixelFormat.h"
#include "DecodeTarn.h"

namespace tarn {

struct TileCache;

struct TileCacheStats {
    uint64_t hits;      // reads copied from the cache
    uint64_t misses;    // reads that decoded
    uint64_t bytes;     // held now, pixels and overhead
    uint64_t capacity;  // the bound on `bytes`
    uint64_t entries;   // tiles held now
};

// The process's cache, which slides read through unless given one of their own: 64 MiB, or the
// TARN_CACHE_SIZE environment variable (bytes; 0 turns it off) as it was at the first call. Null
// only when memory ran out at that call.
TileCache* DefaultTileCache();

// A new cache with one reference; null when memory runs out. A capacity of 0 keeps nothing.
TileCache* CreateTileCache(size_t capacity);
// References; the cache goes with the last one (pins held by readers stay valid). Null is ignored.
void RetainTileCache(TileCache* cache);
void ReleaseTileCache(TileCache* cache);
// Changes the bound, dropping the least recently used tiles that no longer fit (all of them when
// the number of shards changes with it).
void SetTileCacheCapacity(TileCache* cache, size_t capacity);
// Zero for a null cache.
TileCacheStats TileCacheStatsOf(TileCache* cache);

// ---- What the tile path uses.

// Colours without an identity of their own (a table a caller built by hand and may change):
// tiles corrected with them are never kept.
constexpr uint64_t kNoColorTag = 0;
// The tag of the table built from `params`: tables of equal parameters correct alike and share
// entries. Never kNoColorTag.
uint64_t ColorTagOf(const ColorParams& params);

// A tile is served only to reads of the file it was decoded from (the identity the slide took at
// open, which every read of its bytes checks), never to a handle on another file that has since
// taken the same path.
struct TileKey {
    FileIdentity file;
    uint64_t colorTag = kNoColorTag;
    uint32_t layer = 0;
    uint64_t tile = 0;  // row * columns + column
    bool operator==(const TileKey& other) const {
        return SameFile(file, other.file) && colorTag == other.colorTag && layer == other.layer &&
               tile == other.tile;
    }
};

// Bytes an entry of width x height counts against the capacity; SIZE_MAX when that overflows.
constexpr size_t kTileEntryOverhead = 256;
size_t TileCharge(uint32_t width, uint32_t height);

struct CachedTile;

// What a read does about a tile.
enum class TileAdmission {
    Hit,          // `*pin` holds the tile: copy from it
    DecodePart,   // not kept (first touch, too large, caching off): decode only what is needed
    DecodeWhole,  // touched before: decode the whole tile into a new entry and insert it
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
    friend TileAdmission FindTile(TileCache*, const TileKey&, uint32_t, uint32_t, TilePin*);
    friend bool AllocateTile(uint32_t, uint32_t, TilePin*);
    friend void InsertTile(TileCache*, const TileKey&, TilePin*);

    CachedTile* entry_ = nullptr;
    bool fresh_ = false;
};

// Looks `key` up for a tile of width x height. A hit pins the entry and counts as a hit; anything
// else counts as a miss. A null cache answers DecodePart.
TileAdmission FindTile(TileCache* cache, const TileKey& key, uint32_t width, uint32_t height,
                       TilePin* pin);

// A new entry of width x height pixels in `*pin`; false when memory runs out.
bool AllocateTile(uint32_t width, uint32_t height, TilePin* pin);

// Keeps the new entry in `*pin` under `key`, evicting the least recently used tiles of its shard
// as needed. Not kept when it no longer fits (the capacity shrank) or `key` is there already (a
// thread that decoded it at the same time); either way `*pin` still holds the pixels to copy.
void InsertTile(TileCache* cache, const TileKey& key, TilePin* pin);

// Copies `part` (tile coordinates) of a pinned tile into `dst` (rows `dstStride` bytes apart) in
// `format`. False, with nothing written, when `part` is not inside the tile.
bool CopyTilePart(const TilePin& tile, const PixelRect& part, uint8_t* dst, size_t dstStride,
                  PixelFormat format);

// Whether `part` covers at least three quarters of a tile: decoding all of it then costs little
// more than decoding the part, so the tile is kept at its first touch.
inline bool MostOfTile(const PixelRect& part, uint32_t tileWidth, uint32_t tileHeight) {
    return uint64_t{part.width} * part.height * 4 >= uint64_t{tileWidth} * tileHeight * 3;
}

// Draws `part` of the tile under `key` (tileWidth x tileHeight) into `dst` in `format`: copied on
// a hit, otherwise through decode(rect, out, outStride, outFormat), which draws rectangle `rect`
// of the tile into `out` and returns ZY_OK or a failure code. A tile touched before is decoded
// whole into a new entry and kept. When that whole decode fails (damage in rows a partial decode
// never reaches) or finds no memory, the part is decoded as on a first touch, so a read that
// succeeds without the cache succeeds with it.
template <class Decode>
int DrawThroughCache(TileCache* cache, const TileKey& key, uint32_t tileWidth, uint32_t tileHeight,
                     const PixelRect& part, uint8_t* dst, size_t dstStride, PixelFormat format,
                     Decode&& decode) {
    TilePin tile;
    TileAdmission admission = FindTile(cache, key, tileWidth, tileHeight, &tile);
    if (admission == TileAdmission::DecodePart && MostOfTile(part, tileWidth, tileHeight))
        admission = TileAdmission::DecodeWhole;
    if (admission == TileAdmission::DecodeWhole) {
        const PixelRect whole{0, 0, tileWidth, tileHeight};
        if (AllocateTile(tileWidth, tileHeight, &tile) &&
            decode(whole, tile.mutablePixels(), tile.stride(), PixelFormat::Bgr) == ZY_OK)
            InsertTile(cache, key, &tile);
        else
            tile.Reset();
    }
    if (!tile) return decode(part, dst, dstStride, format);
    return CopyTilePart(tile, part, dst, dstStride, format) ? ZY_OK : ZY_E_DECODE;
}

// ---- For tests.

// A cache split into `shards` (1 to 8) shards whatever its capacity; one shard makes the LRU
// order exact. 0 lets the capacity choose, as CreateTileCache(capacity) does.
TileCache* CreateTileCache(size_t capacity, int shards);

// The capacity TARN_CACHE_SIZE asks for: a decimal byte count (larger than memory can be:
// SIZE_MAX), the default for a missing or malformed value.
size_t TileCacheSizeFrom(const char* text);
constexpr size_t kDefaultTileCacheSize = size_t{64} << 20;

}  // namespace tarn
