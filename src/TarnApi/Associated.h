// Associated images: the label, the macrograph ("macro", OpenSlide's usual name) and the
// thumbnail, when the slide has them with decoded pixels.
#pragma once

#include "TarnApi/Slide.h"

namespace tarn {

// Fills the slide's list of associated images and their names.
void ListAssociatedImages(tarn_slide* slide);

// The image called `name`, or null after failing the call.
const ZyImageInfo* FindAssociatedImage(SlideCall& call, const char* name);

}  // namespace tarn
