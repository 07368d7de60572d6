// The tile pipeline of `tarn serve`: a Deep Zoom tile is rendered and encoded by the library once,
// then kept with its ETag in a byte-bounded cache of encoded tiles that every worker shares.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tarn.h"
#include "util/Lru.h"

namespace tarncli::serve {

// Bytes ready to send, with the strong ETag that names them.
struct Encoded {
    std::string bytes;
    std::string etag;  // quoted, as it goes into the header
};
using EncodedPtr = std::shared_ptr<const Encoded>;

EncodedPtr MakeEncoded(std::string bytes);

struct TileKey {
    uint32_t slide;
    int32_t level;
    int64_t column, row;
    bool operator==(const TileKey&) const = default;
};

struct TileCacheStats {
    uint64_t hits, misses, bytes, capacity, entries;
};

// Least recently used tiles go first once the bytes held would pass the capacity. Split into
// shards by key so that workers rarely wait on one another.
class TileCache {
  public:
    explicit TileCache(size_t capacityBytes);
    EncodedPtr Find(const TileKey& key);
    void Insert(const TileKey& key, EncodedPtr tile);
    // Drops every tile of slide `slide`.
    void DropSlide(uint32_t slide);
    TileCacheStats Stats() const;

  private:
    struct KeyHash {
        uint64_t operator()(const TileKey& key) const;
    };
    static size_t Cost(const Encoded& tile);

    tarn::util::Lru<TileKey, EncodedPtr, KeyHash> tiles_;
};

enum class TileOutcome { Ok, NotFound, Failed };

struct TileResult {
    TileOutcome outcome = TileOutcome::NotFound;
    EncodedPtr tile;
    bool cached = false;
    std::string error;  // why it failed, from the library
};

// A slide's Deep Zoom view as the pipeline reads it.
struct TileSource {
    uint32_t id;  // the slide's number in the cache keys
    tarn_slide* slide;
    tarn_deepzoom* deepzoom;
    int quality;  // of the JPEG tiles
};

// Tile (column, row) of Deep Zoom level `level`: from the cache, or rendered and encoded by the
// library and kept. NotFound for a tile the view does not have; Failed when the library cannot
// read it (a damaged tile, for instance).
TileResult ReadTile(TileCache& cache, const TileSource& source, int32_t level, int64_t column,
                    int64_t row);

}  // namespace tarncli::serve
