// The calls openslide.h keeps under their old names, and the two prefetch calls that OpenSlide
// never implemented but its library still exports.
#include "OpenSlideCompat/Handles.h"

#undef openslide_give_prefetch_hint
#undef openslide_cancel_prefetch_hint

extern "C" {
OPENSLIDE_PUBLIC()
int openslide_give_prefetch_hint(openslide_t* osr, int64_t x, int64_t y, int32_t level, int64_t w,
                                 int64_t h);
OPENSLIDE_PUBLIC()
void openslide_cancel_prefetch_hint(openslide_t* osr, int prefetch_id);
}

// The old names call the new ones; the compiler must not warn about their own definitions.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

bool openslide_can_open(const char* filename) {
    openslide_t* osr = openslide_open(filename);
    if (osr == nullptr) return false;
    const bool readable = openslide_get_error(osr) == nullptr;
    openslide_close(osr);
    return readable;
}

int32_t openslide_get_layer_count(openslide_t* osr) {
    return openslide_get_level_count(osr);
}

void openslide_get_layer0_dimensions(openslide_t* osr, int64_t* w, int64_t* h) {
    openslide_get_level0_dimensions(osr, w, h);
}

void openslide_get_layer_dimensions(openslide_t* osr, int32_t level, int64_t* w, int64_t* h) {
    openslide_get_level_dimensions(osr, level, w, h);
}

double openslide_get_layer_downsample(openslide_t* osr, int32_t level) {
    return openslide_get_level_downsample(osr, level);
}

int32_t openslide_get_best_layer_for_downsample(openslide_t* osr, double downsample) {
    return openslide_get_best_level_for_downsample(osr, downsample);
}

const char* openslide_get_comment(openslide_t* osr) {
    return openslide_get_property_value(osr, OPENSLIDE_PROPERTY_NAME_COMMENT);
}

int openslide_give_prefetch_hint(openslide_t*, int64_t, int64_t, int32_t, int64_t, int64_t) {
    return -1;
}

void openslide_cancel_prefetch_hint(openslide_t*, int) {}
