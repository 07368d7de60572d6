// The levels of a tarn_slide (Service/Levels.h) and how a call finds one.
#pragma once

#include "Service/Levels.h"
#include "TarnApi/Slide.h"

namespace tarn {

// Level `level` of the call's slide, or null after failing the call when there is none.
const Level* FindLevel(SlideCall& call, int32_t level);

}  // namespace tarn
