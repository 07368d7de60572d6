/* A stand-in for the system's OpenSlide 3.4 (TARN_OPENSLIDE_LIBRARY names it), for what no file
 * the tests can make shows through the real one: a slide of another format with associated
 * images, one of which fails to read. It opens every file, as one slide of 4 x 2 pixels with the
 * images "label" and "broken"; reading "broken" puts the slide in error and, as 3.4 does, leaves
 * the caller's buffer as it was. */
#include <openslide/openslide.h>
#include <stdlib.h>
#include <string.h>

struct _openslide {
    const char* error;
};

static const char* const kNames[] = {"openslide.vendor", NULL};
static const char* const kImages[] = {"broken", "label", NULL};
static const char* const kNone[] = {NULL};

const char* openslide_detect_vendor(const char* filename) {
    return filename != NULL ? "fake" : NULL;
}

openslide_t* openslide_open(const char* filename) {
    return filename != NULL ? calloc(1, sizeof(openslide_t)) : NULL;
}

void openslide_close(openslide_t* osr) {
    free(osr);
}

const char* openslide_get_error(openslide_t* osr) {
    return osr->error;
}

int32_t openslide_get_level_count(openslide_t* osr) {
    return osr->error ? -1 : 1;
}

void openslide_get_level_dimensions(openslide_t* osr, int32_t level, int64_t* w, int64_t* h) {
    *w = osr->error || level != 0 ? -1 : 4;
    *h = osr->error || level != 0 ? -1 : 2;
}

void openslide_get_level0_dimensions(openslide_t* osr, int64_t* w, int64_t* h) {
    openslide_get_level_dimensions(osr, 0, w, h);
}

double openslide_get_level_downsample(openslide_t* osr, int32_t level) {
    return osr->error || level != 0 ? -1.0 : 1.0;
}

int32_t openslide_get_best_level_for_downsample(openslide_t* osr, double downsample) {
    (void)downsample;
    return osr->error ? -1 : 0;
}

void openslide_read_region(openslide_t* osr, uint32_t* dest, int64_t x, int64_t y, int32_t level,
                           int64_t w, int64_t h) {
    (void)x, (void)y, (void)level;
    memset(dest, osr->error ? 0 : 0xff, (size_t)(w * h * 4));
}

const char* const* openslide_get_property_names(openslide_t* osr) {
    return osr->error ? kNone : kNames;
}

const char* openslide_get_property_value(openslide_t* osr, const char* name) {
    return !osr->error && strcmp(name, "openslide.vendor") == 0 ? "fake" : NULL;
}

const char* const* openslide_get_associated_image_names(openslide_t* osr) {
    return osr->error ? kNone : kImages;
}

void openslide_get_associated_image_dimensions(openslide_t* osr, const char* name, int64_t* w,
                                               int64_t* h) {
    openslide_get_level_dimensions(osr, strcmp(name, "label") && strcmp(name, "broken"), w, h);
}

void openslide_read_associated_image(openslide_t* osr, const char* name, uint32_t* dest) {
    if (osr->error) return;
    if (strcmp(name, "broken") == 0)
        osr->error = "the broken image does not decode";
    else if (strcmp(name, "label") == 0)
        memset(dest, 0xff, 4 * 2 * 4);
}
