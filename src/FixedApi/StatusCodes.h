// The fixed interface's codes for the core's statuses: the one place where they are decided. The
// same failure means different codes to different calls (a file that changed is -3 from the tile
// fetches and -7 from regions), so the mapping takes the kind of call.
#pragma once

#include "Common/Status.h"

namespace tarn {

enum class FixedCall {
    // The stream record readers and the associated-image builders: memory that ran out is a
    // short read.
    Records,
    // ZyGetJpegSliceOfSpecifyLayer and ZyGetHevcSliceOfSpecifyLayer: a file gone or replaced and
    // memory that ran out are short reads.
    TileFetch,
    // ZyGetRgbSliceOfSpecifyLayer: a tile that cannot be read fails as the fetch does; memory that
    // ran out is a failed decode.
    DecodedTile,
    // Regions, blocks and whole layers: every failure to read or decode is a failed decode.
    Region,
};

// The ZY_OK or ZY_E_* code `status` stands for in `call`.
int FixedCode(Status status, FixedCall call);

}  // namespace tarn
