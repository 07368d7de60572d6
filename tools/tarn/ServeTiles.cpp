#include "ServeTiles.h"

#include <cstdio>
#include <utility>

namespace tarncli::serve {

namespace {

// 64-bit FNV-1a: strong enough to tell two renderings of a tile apart, and cheap next to the
// encoding it follows.
uint64_t Fnv1a(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

EncodedPtr MakeEncoded(std::string bytes) {
    auto encoded = std::make_shared<Encoded>();
    char etag[24];
    snprintf(etag, sizeof etag, "\"%016llx\"", static_cast<unsigned long long>(Fnv1a(bytes)));
    encoded->etag = etag;
    encoded->bytes = std::move(bytes);
    return encoded;
}

uint64_t TileCache::KeyHash::operator()(const TileKey& key) const {
    uint64_t h = key.slide;
    for (const uint64_t part : {static_cast<uint64_t>(key.level), static_cast<uint64_t>(key.column),
                                static_cast<uint64_t>(key.row)})
        h = (h ^ part) * 0x9e3779b97f4a7c15ULL + (h >> 29);
    return h ^ (h >> 32);
}

TileCache::TileCache(size_t capacityBytes)
    : tiles_(capacityBytes, tarn::util::LruShards{16, 0, 16}) {}

size_t TileCache::Cost(const Encoded& tile) {
    // The bytes, plus what the cache's node and the shared block cost.
    return tile.bytes.size() + tile.etag.size() + 160;
}

EncodedPtr TileCache::Find(const TileKey& key) {
    EncodedPtr tile;
    return tiles_.Find(key, &tile) ? tile : nullptr;
}

void TileCache::Insert(const TileKey& key, EncodedPtr tile) {
    const size_t cost = Cost(*tile);
    // Not kept when another worker rendered it meanwhile, or when it is larger than a shard.
    tiles_.Insert(key, std::move(tile), cost);
}

void TileCache::DropSlide(uint32_t slide) {
    tiles_.EraseIf([slide](const TileKey& key) { return key.slide == slide; });
}

TileCacheStats TileCache::Stats() const {
    const tarn::util::LruStats stats = tiles_.Stats();
    return {stats.hits, stats.misses, stats.bytes, stats.capacity, stats.entries};
}

TileResult ReadTile(TileCache& cache, const TileSource& source, int32_t level, int64_t column,
                    int64_t row) {
    TileResult result;
    int64_t columns = -1, rows = -1;
    tarn_deepzoom_get_level_tiles(source.deepzoom, level, &columns, &rows);
    if (column < 0 || row < 0 || column >= columns || row >= rows) return result;

    const TileKey key{source.id, level, column, row};
    if ((result.tile = cache.Find(key))) {
        result.outcome = TileOutcome::Ok;
        result.cached = true;
        return result;
    }
    uint8_t* jpeg = nullptr;
    size_t size = 0;
    if (tarn_deepzoom_read_tile_jpeg(source.deepzoom, level, column, row, source.quality, &jpeg,
                                     &size) != 0) {
        const char* why = tarn_get_error(source.slide);
        result.outcome = TileOutcome::Failed;
        result.error = why != nullptr ? why : "unknown failure";
        return result;
    }
    result.tile = MakeEncoded(std::string(reinterpret_cast<const char*>(jpeg), size));
    tarn_free(jpeg);
    cache.Insert(key, result.tile);
    result.outcome = TileOutcome::Ok;
    return result;
}

}  // namespace tarncli::serve
