// Associated images: the label, the macrograph ("macro", OpenSlide's usual name) and the
// thumbnail, when the slide has them with decoded pixels. They are read and decoded when first
// asked for.
#pragma once

#include "TarnApi/Slide.h"

namespace tarn {

// The slide's associated images with pixels, listed (and decoded) at the first call; false, after
// failing the call, when they could not be read.
bool ListAssociatedImages(SlideCall& call, AssociatedList** out);

// The image called `name`, or null after failing the call.
const AssociatedImage* FindAssociatedImage(SlideCall& call, const char* name);

}  // namespace tarn
