// The caller's pixel layouts, and what lies outside the picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/PixelFormat.h"
#include "TarnApi/Slide.h"
#include "tarn.h"

namespace tarn {

// The layout a tarn_format number names; false for a number that names none (a C caller may pass
// any int).
bool PixelFormatOf(int format, PixelFormat* out);

// The same within a call: false after failing it.
bool CallerLayout(SlideCall& call, int format, PixelFormat* out);

// Fills `count` bytes of pixels of `format` with what lies outside the picture: transparent (all
// bytes 0) in layouts with alpha, white in the others.
void FillOutside(uint8_t* dst, size_t count, PixelFormat format);

}  // namespace tarn
