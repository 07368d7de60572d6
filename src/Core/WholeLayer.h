// Whole layers decoded into one buffer.
#pragma once

#include "DecodeTarn.h"

namespace tarn {

// ZySpecifyLayerJpeg2Rgb on `threads` threads (the exported function uses the thread budget).
int DecodeWholeLayer(ZyTarnInfo* info, unsigned char** data, int* width, int* height, int layer,
                     int threads);

}  // namespace tarn
