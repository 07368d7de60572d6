// Many patches of one size and level, read together: every stored tile they touch is decoded once,
// whole, and copied into each patch that needs it, with a bounded set of decoded tiles held at
// once. In pixels of the level read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Common/PixelFormat.h"
#include "Common/Status.h"
#include "Core/Tiles.h"

namespace tarn {

// The decoded tiles a patch reader holds at once, at most (a patch needing more than half of it
// is read on its own, as a region).
inline constexpr size_t kPatchTileBytes = size_t{64} << 20;

// What every patch of a run shares. Width and height are above 0 and the level exists.
struct PatchShape {
    uint32_t level = 0;
    int64_t width = 0;
    int64_t height = 0;
    PixelFormat format = PixelFormat::Rgba;
};

// A run of patches read in batches of consecutive patches, in order. Within a batch the patches
// are read in the order of the tiles they touch; a decoded tile is kept until the last patch of
// the run that needs it (later batches included) has been read, or until room is needed, when the
// tiles needed last go first.
class PatchReader {
  public:
    // `positions`: (x, y) of each patch's top-left corner, in pixels of the level. `grid` is the
    // level's. Throws std::bad_alloc.
    PatchReader(const LayerGeometry& grid, const PatchShape& shape, std::vector<int64_t> positions,
                int64_t batchSize, size_t tileBytes = kPatchTileBytes);
    ~PatchReader();
    PatchReader(const PatchReader&) = delete;
    PatchReader& operator=(const PatchReader&) = delete;

    int64_t count() const { return static_cast<int64_t>(positions_.size() / 2); }
    size_t patchBytes() const { return patchBytes_; }

    // Reads the patches [first, first + n) (one batch: first a multiple of the batch size) into
    // `dest`, patch first + j at j * patchBytes(), on up to `threads` threads; status[j] becomes 0
    // or -1. Returns how many failed; the first failure is recorded in the context.
    int64_t ReadBatch(const ReadContext& read, int64_t first, int64_t n, uint8_t* dest, int* status,
                      int threads);

  private:
    struct Span;
    struct Tile;
    Span SpanOf(int64_t patch) const;
    void Release(std::unique_ptr<uint8_t[]> pixels);
    void MakeRoom(const Span& needed, size_t room);
    Status Compose(const ReadContext& read, int64_t patch, uint8_t* dst) const;

    LayerGeometry grid_;
    PatchShape shape_;
    std::vector<int64_t> positions_;
    int64_t batchSize_ = 1;
    size_t patchBytes_ = 0;
    size_t tileBytes_ = 0;                      // of one decoded tile
    size_t maxTiles_ = 1;                       // decoded tiles held at once
    std::vector<bool> solo_;                    // by patch: shares no tile, read as a region
    std::vector<int64_t> order_;                // patches in reading order, batch by batch
    std::unordered_map<uint64_t, Tile> tiles_;  // by column + columns * row
    size_t held_ = 0;                           // tiles with pixels
    std::vector<std::unique_ptr<uint8_t[]>> spare_;
};

}  // namespace tarn
