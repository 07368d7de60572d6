// openslide.quickhash-1: a digest that names a slide file's content, so that a cache or a
// database can tell slides apart by content rather than by path.
#pragma once

#include "TarnApi/Slide.h"

namespace tarn {

// The slide's digest, worked out at the first call that asks for it: 64 lowercase hexadecimal
// digits, or null after failing the call (the file was removed or replaced since the open, or
// memory ran out; a later call tries again).
const char* QuickHashOf(SlideCall& call);

}  // namespace tarn
