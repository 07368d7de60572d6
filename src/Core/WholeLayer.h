// Whole layers decoded into one buffer.
#pragma once

#include "Common/Status.h"
#include "Core/Tiles.h"

namespace tarn {

// The whole grid of `layer` (in range) as blue-green-red pixels, tile rows spread over `threads`
// threads: Status::Ok with *data (malloc'ed, null for a grid without tiles), *width and *height;
// the outputs are untouched on failure. A tile that cannot be read or decoded is white.
// Status::Undecodable when the source is not what was opened, when not one of the layer's stored
// tiles can be read and decoded, when the grid is too large for an int, or when memory runs out.
Status DecodeWholeLayer(const ReadContext& read, uint32_t layer, int threads, unsigned char** data,
                        int* width, int* height);

}  // namespace tarn
