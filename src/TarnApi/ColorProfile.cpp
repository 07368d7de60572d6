// Colour profiles. Corrected pixels are display-referred sRGB and Tarn files carry no ICC
// profile, so every slide and associated image has none: a size of 0 and nothing to copy, which
// is how OpenSlide answers for a slide without a profile.
#include "TarnApi/Associated.h"
#include "tarn.h"

using namespace tarn;

int64_t tarn_get_icc_profile_size(tarn_slide* slide) {
    return OnSlide(slide, int64_t{-1}, [](SlideCall&) { return int64_t{0}; });
}

int tarn_read_icc_profile(tarn_slide* slide, void* /*dest: no profile, nothing to write*/) {
    return OnSlide(slide, -1, [](SlideCall&) { return 0; });
}

int64_t tarn_get_associated_image_icc_profile_size(tarn_slide* slide, const char* name) {
    return OnSlide(slide, int64_t{-1}, [&](SlideCall& call) {
        return FindAssociatedImage(call, name) != nullptr ? int64_t{0} : int64_t{-1};
    });
}

int tarn_read_associated_image_icc_profile(tarn_slide* slide, const char* name,
                                           void* /*dest: no profile, nothing to write*/) {
    return OnSlide(slide, -1, [&](SlideCall& call) {
        return FindAssociatedImage(call, name) != nullptr ? 0 : -1;
    });
}
