// Reading every layer's picture record and tile table while a slide opens.
#pragma once

#include <cstdint>
#include <cstdio>

#include "DecodeTarn.h"

namespace tarn {

// Reads the records and tile tables of all `head.Layer` layers into the caller's cleared arrays
// and works out every tile's offset. Refuses (false) records that are missing or lack "IF",
// grids whose pixel size does not fit an int, tables shorter than the grid, and tables that could
// not all lie in a file of `fileSize` bytes - before allocating them. What was allocated stays in
// the arrays for the caller to release.
bool ReadLayers(FILE* stream, int64_t fileSize, const ZyPicHead& head, ZyPicInfo** picInfos,
                ZySliceInfo** sliceInfos);

// Offsets of consecutive tiles starting at `first`: each tile starts where the previous ended,
// its stored size taken as a signed 32-bit value.
void ComputeTileOffsets(uint64_t first, const uint32_t* sizes, uint32_t count, uint64_t* offsets);

}  // namespace tarn
