// Encoded answers of `tarn serve` (Deep Zoom tiles now; IIIF images and DICOM frames beside them),
// each made by the library once and then kept with its ETag in one byte-bounded cache that every
// worker shares. The key knows nothing of protocols: a slide, the request in its route's own
// terms, and the format.
#pragma once

#include <cstdint>
#include <string>

#include "http/Encoded.h"
#include "util/Lru.h"

namespace tarncli::serve {

using http::EncodedPtr;
using http::MakeEncoded;

struct EncodedKey {
    uint32_t slide;  // the opened slide's number: a slide opened anew never meets its old answers
    // What was asked, in the route's own terms, starting with its family's name so that two
    // families never share a key: "dz 12/3_4", "iiif 0,0,512,512/256,/0/default".
    std::string request;
    std::string format;  // "jpeg", "png", ...
    bool operator==(const EncodedKey&) const = default;
};

struct EncodedCacheStats {
    uint64_t hits, misses, bytes, capacity, entries;
};

// Least recently used answers go first once the bytes held would pass the capacity. Split into
// shards by key so that workers rarely wait on one another.
class EncodedCache {
  public:
    explicit EncodedCache(size_t capacityBytes);
    EncodedPtr Find(const EncodedKey& key);
    // Not kept when another worker kept one meanwhile, or when it is larger than a shard.
    void Insert(const EncodedKey& key, EncodedPtr encoded);
    // Drops every answer of slide `slide`.
    void DropSlide(uint32_t slide);
    EncodedCacheStats Stats() const;

  private:
    struct KeyHash {
        uint64_t operator()(const EncodedKey& key) const;
    };
    tarn::util::Lru<EncodedKey, EncodedPtr, KeyHash> entries_;
};

}  // namespace tarncli::serve
