// Reading every layer's picture record and tile table while a slide opens.
#pragma once

#include <cstdint>

#include "Common/FileAccess.h"
#include "DecodeTarn.h"

namespace tarn {

// Reads the records and tile tables of all `head.Layer` layers, the first at `firstLayer`, into
// the caller's cleared arrays and works out every tile's offset. ZY_OK; kNoMemory; or a failure
// code for records that are missing or lack "IF", unusable grids (LayerRecordUsable), and tables
// that could not all lie in the file - refused before they are allocated. What was allocated
// stays in the arrays for the caller to release.
int ReadLayers(FileReader& reader, const ZyPicHead& head, uint64_t firstLayer, ZyPicInfo** picInfos,
               ZySliceInfo** sliceInfos);

// Offsets of consecutive tiles starting at `first`: each tile starts where the previous ended,
// its stored size taken as a signed 32-bit value.
void ComputeTileOffsets(uint64_t first, const uint32_t* sizes, uint32_t count, uint64_t* offsets);

}  // namespace tarn
