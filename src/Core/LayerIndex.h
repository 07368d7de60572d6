// The layer records and tile tables of slides whose every read ahead costs a round trip, kept
// under the source's identity: the layer records form a chain (each found only at the previous
// one's NextOffset, after that layer's tiles), so a first open of a deep pyramid over a network
// waits for one trip per large layer; a later open of the same bytes, in this process or
// another one of the user's, finds them here instead.
//
// An index is the stretches of the slide's bytes that hold the records and tables, as the slide
// stores them: the open parses them exactly as if it had read them from the source, with every
// check that implies. Indexes live in memory for the process (the most recently used, up to a
// bound) and in the cache folder of the colour tables (ColorTables.h), as files named after a
// digest of the identity, 0600, written to a new name and renamed, and read back only when they
// are this user's and not writable by others, and their own digest, the identity's digest and
// the slide's size all match.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Core/ByteSource.h"

namespace tarn {

struct Slide;

// Bytes of the slide at `offset`.
struct IndexExtent {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

struct LayerIndex {
    uint64_t slideSize = 0;
    std::vector<IndexExtent> extents;  // by offset, disjoint
};

// The index kept for the source's identity and size, from memory or from the folder; null when
// there is none (or the source keeps none: ByteSource::keepIndex).
std::shared_ptr<const LayerIndex> FindLayerIndex(const ByteSource& source);

// Keeps the index of a slide just opened from its source (no index was found for it): in memory,
// and in the folder.
void KeepLayerIndex(const Slide& slide);

// Forgets the index of the source's identity (one that did not open: whatever the index holds,
// it is not what the source holds).
void ForgetLayerIndex(const ByteSource& source);

// The extent of `index` that holds [offset, offset + size), or null.
const IndexExtent* IndexExtentHolding(const LayerIndex& index, uint64_t offset, uint64_t size);

// Empties the memory's part (not the folder), for tests and benchmarks of a fresh process.
void ForgetLayerIndexesInMemory();

}  // namespace tarn
