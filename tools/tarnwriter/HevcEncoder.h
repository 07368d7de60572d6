// HEVC tiles for test slides, encoded at test time through libavcodec's libx265 encoder.
#pragma once

#include "TarnWriter.h"

namespace tarnwriter {

enum class HevcStream {
    Default,   // x265 defaults: the stream declares reorder pictures, its frame comes at the flush
    AllIntra,  // intra-only: a decoder without frame threading yields the frame at once
};

// One picture, 8-bit 4:2:0, as a self-contained stream (parameter sets included). Empty on
// failure (no HEVC encoder available).
Bytes EncodeHevc(const Image& image, HevcStream kind = HevcStream::Default);

TileEncoder HevcTiles(HevcStream kind = HevcStream::Default);

}  // namespace tarnwriter
