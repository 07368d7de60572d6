// Regions of any level, anywhere, in the caller's layout.
#pragma once

#include <cstdint>

#include "Common/PixelFormat.h"
#include "TarnApi/Slide.h"

namespace tarn {

// tarn_read_level_region within `call`: (left, top) in pixels of the level. False after failing
// the call.
bool ReadLevelRegion(SlideCall& call, uint8_t* dest, int32_t level, int64_t left, int64_t top,
                     int64_t w, int64_t h, PixelFormat format);

// tarn_read_region within `call`: false after failing the call.
bool ReadRegion(SlideCall& call, uint8_t* dest, int64_t x, int64_t y, int32_t level, int64_t w,
                int64_t h, PixelFormat format);

}  // namespace tarn
