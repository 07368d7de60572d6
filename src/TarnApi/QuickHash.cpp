// The digest is SHA-256 over what fixes a slide's pixels and shape, all of it read at open except
// the smallest level's tiles: the header, the colour-correction record (when the slide has one),
// every layer record with its tile size table, then the stored bytes of the smallest level's tiles
// in table order, until the next tile would pass kTileByteBudget. Opens stay cheap: nothing is
// hashed before a caller asks.
#include "TarnApi/QuickHash.h"

#include <openssl/evp.h>

#include <memory>

#include "Common/Status.h"
#include "Core/Slide.h"
#include "Service/Reads.h"

namespace tarn {
namespace {

constexpr uint64_t kTileByteBudget = uint64_t{16} << 20;

using Digest = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

bool Add(EVP_MD_CTX* digest, const void* bytes, size_t size) {
    return EVP_DigestUpdate(digest, bytes, size) == 1;
}

bool AddU32(EVP_MD_CTX* digest, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return Add(digest, bytes, sizeof bytes);
}

// The records held since the open, byte for byte as the file stores them.
bool AddRecords(EVP_MD_CTX* digest, const Slide& slide) {
    const SlideRecords& records = slide.records;
    bool ok = Add(digest, &records.head, sizeof records.head);
    const uint8_t hasExtra = records.hasExtra ? 1 : 0;
    ok = ok && Add(digest, &hasExtra, 1);
    if (records.hasExtra) ok = ok && Add(digest, &records.extra, sizeof records.extra);
    for (size_t k = 0; ok && k < records.layers.size(); ++k) {
        const PictureRecord& layer = records.layers[k];
        ok = Add(digest, &layer, sizeof layer);
        for (uint32_t t = 0; ok && t < layer.TileCount; ++t)
            ok = AddU32(digest, slide.tables[k].sizes[t]);
    }
    return ok;
}

uint32_t SmallestLayer(const Slide& slide) {
    uint32_t smallest = 0;
    uint64_t fewest = UINT64_MAX;
    for (uint32_t k = 0; k < slide.layers.size(); ++k) {
        const LayerGeometry& grid = slide.layers[k].grid;
        const uint64_t tiles = grid.columns * grid.rows;
        if (tiles < fewest) fewest = tiles, smallest = k;
    }
    return smallest;
}

// Status::Ok, or the failure of a read that means the file opened is no longer there.
Status AddSmallestLevelTiles(EVP_MD_CTX* digest, tarn_slide& slide) {
    const Slide& core = *slide.core;
    Error why;
    if (const Status code = CheckSource(core.source, &why); code != Status::Ok) return code;
    const SlideReader read(*slide.core);
    const uint32_t layer = SmallestLayer(core);
    const LayerTiles& tiles = core.layers[layer];
    if (tiles.grid.columns > 0 && tiles.grid.rows > 0)
        HintTiles(read.context(), layer, 0, static_cast<uint32_t>(tiles.grid.columns - 1), 0,
                  static_cast<uint32_t>(tiles.grid.rows - 1));
    ByteBuffer bytes;
    uint64_t hashed = 0;
    for (uint32_t y = 0; y < tiles.grid.rows; ++y) {
        for (uint32_t x = 0; x < tiles.grid.columns; ++x) {
            const StoredTile tile = TileAt(tiles, x, y);
            if (tile.empty()) continue;
            hashed += static_cast<uint64_t>(tile.size);
            if (hashed > kTileByteBudget) return Status::Ok;
            const Status code = ReadStoredTile(read.context(), layer, x, y, tile, &bytes);
            // A tile the file is too short for stays out (its size is in the table already):
            // the rest of a truncated slide still has a digest.
            if (code == Status::ShortRead) continue;
            if (code != Status::Ok) return code;
            if (!Add(digest, bytes.data(), static_cast<size_t>(tile.size))) return Status::NoMemory;
        }
    }
    return Status::Ok;
}

// The digest in hexadecimal, or the failure code.
Status ComputeQuickHash(tarn_slide& slide, std::string* hex) {
    const Digest digest(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1 ||
        !AddRecords(digest.get(), *slide.core))
        return Status::NoMemory;
    if (const Status code = AddSmallestLevelTiles(digest.get(), slide); code != Status::Ok)
        return code;
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.get(), sum, &length) != 1) return Status::NoMemory;
    static constexpr char kDigits[] = "0123456789abcdef";
    hex->clear();
    for (unsigned int i = 0; i < length; ++i) {
        hex->push_back(kDigits[sum[i] >> 4]);
        hex->push_back(kDigits[sum[i] & 15]);
    }
    return Status::Ok;
}

}  // namespace

const char* QuickHashOf(SlideCall& call) {
    LazyProperty& quickhash = call.slide().quickhash;
    std::lock_guard<std::mutex> hold(quickhash.lock);
    if (!quickhash.known) {
        const Status code = ComputeQuickHash(call.slide(), &quickhash.value);
        if (code != Status::Ok) {
            call.Fail("cannot work out openslide.quickhash-1: %s",
                      code == Status::NoMemory
                          ? "out of memory"
                          : "the slide file was removed or replaced since it was "
                            "opened");
            return nullptr;
        }
        quickhash.known = true;
    }
    return quickhash.value.c_str();
}

}  // namespace tarn
