// HEVC tiles for test slides, encoded at test time through libavcodec's libx265 encoder.
#pragma once

#include "TarnWriter.h"

namespace tarnwriter {

enum class HevcStream {
    Default,   // x265 defaults: the stream declares reorder pictures, its frame comes at the flush
    AllIntra,  // intra-only: a decoder without frame threading yields the frame at once
};

// One picture, 8-bit 4:2:0, as a self-contained stream (parameter sets included). HEVC codes
// 4:2:0 only in even sizes, so an odd width or height is padded by one repeated column or row,
// which the library's decoder crops away. Empty on failure (no HEVC encoder available, or a
// picture below x265's minimum of 16 x 16 after padding).
Bytes EncodeHevc(const Image& image, HevcStream kind = HevcStream::Default);

TileEncoder HevcTiles(HevcStream kind = HevcStream::Default);

}  // namespace tarnwriter
