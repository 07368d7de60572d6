// Whole layers decoded into one buffer.
#pragma once

#include "DecodeTarn.h"

namespace tarn {

// ZySpecifyLayerJpeg2Rgb on a team of `threads` (the exported function uses every processor).
int DecodeWholeLayer(ZyTarnInfo* info, unsigned char** data, int* width, int* height, int layer,
                     int threads);

}  // namespace tarn
