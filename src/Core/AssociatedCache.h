// Decoded associated images kept for the process, per source identity and colour table: the fixed
// interface decodes the label, macrograph and thumbnail at every open, and a slide opened again
// copies them from here instead of reading and decoding them anew. A source whose identity
// changes (a file replaced or rewritten) is another key, so nothing stale is served; sources
// without an identity are never kept. Bounded in bytes, least recently used dropped first.
#pragma once

#include <cstdint>

#include "Core/Associated.h"
#include "Core/ByteSource.h"

namespace tarn {

// Copies the images kept for (`source`'s identity, `colorTag`) into `images` (empty ones, which
// then own their copies). False when none are kept or a copy runs out of memory (`images` are
// left empty).
bool CopyKeptAssociated(const ByteSource& source, uint64_t colorTag,
                        AssociatedImage images[kAssociatedKinds]);

// Keeps copies of `images`, decoded from `source` through the table of `colorTag`, unless they
// are too large to keep or a decode ran out of memory (an outcome another try may not share).
void KeepAssociated(const ByteSource& source, uint64_t colorTag,
                    const AssociatedImage images[kAssociatedKinds]);

}  // namespace tarn
