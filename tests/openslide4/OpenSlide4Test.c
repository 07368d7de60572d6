/* A program written for OpenSlide 4.0 (openslide4.h, no Debian header), linked to
 * libopenslide.so.1, on a Tarn slide and a pyramidal TIFF in one process: the properties and
 * colour-profile answers of OpenSlide 4 on both, and caches; Tarn pixels against tarn.h's. With
 * --fake, a slide of the stand-in for the real library: 4.0's properties and clearing of an
 * associated image whose read fails. What libopenslide.so.0 shares with it is tested through that
 * library (tests/openslide).
 *
 * usage: openslide4_test SLIDE.tarn PYRAMID.tif
 *        TARN_OPENSLIDE_LIBRARY=libfake_openslide.so openslide4_test --fake FILE
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "openslide4.h"
#include "tarn.h"

static int passed, failed;

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (condition) {                                                            \
            ++passed;                                                               \
        } else {                                                                    \
            ++failed;                                                               \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
        }                                                                           \
    } while (0)

static uint32_t* Pixels(int64_t w, int64_t h, uint8_t fill) {
    uint32_t* p = malloc((size_t)(w * h * 4));
    memset(p, fill, (size_t)(w * h * 4));
    return p;
}

static int AllBytes(const void* p, size_t n, uint8_t value) {
    for (size_t i = 0; i < n; ++i)
        if (((const uint8_t*)p)[i] != value) return 0;
    return 1;
}

static int Count(const char* const* names, const char* prefix) {
    int n = 0;
    for (; names != NULL && *names != NULL; ++names)
        n += strncmp(*names, prefix, strlen(prefix)) == 0;
    return n;
}

static int64_t Number(openslide_t* osr, const char* name) {
    const char* value = openslide_get_property_value(osr, name);
    return value != NULL ? strtoll(value, NULL, 10) : -1;
}

/* What OpenSlide 4 says of any slide without a colour profile, whichever library reads it. */
static void Describe(openslide_t* osr) {
    const char* const* names = openslide_get_property_names(osr);
    int sorted = 1;
    for (int i = 0; names[i] != NULL && names[i + 1] != NULL; ++i)
        sorted &= strcmp(names[i], names[i + 1]) < 0;
    CHECK(sorted && Count(names, OPENSLIDE_PROPERTY_NAME_ICC_SIZE) == 0);
    char name[128];
    for (int32_t level = 0; level < openslide_get_level_count(osr); ++level) {
        snprintf(name, sizeof name, "openslide.level[%d].tile-width", level);
        CHECK(Number(osr, name) > 0);
        snprintf(name, sizeof name, "openslide.level[%d].tile-height", level);
        CHECK(Number(osr, name) > 0);
    }
    /* Every associated image has its size among the properties, and no profile. */
    const char* const* images = openslide_get_associated_image_names(osr);
    int64_t w = 0, h = 0;
    for (int i = 0; images[i] != NULL; ++i) {
        openslide_get_associated_image_dimensions(osr, images[i], &w, &h);
        snprintf(name, sizeof name, "openslide.associated.%s.width", images[i]);
        CHECK(Number(osr, name) == w && w > 0);
        snprintf(name, sizeof name, "openslide.associated.%s.height", images[i]);
        CHECK(Number(osr, name) == h && h > 0);
        CHECK(openslide_get_associated_image_icc_profile_size(osr, images[i]) == 0);
    }
    CHECK(Count(names, "openslide.associated.") == 2 * Count(images, ""));
    uint8_t canary[16];
    memset(canary, 0xAB, sizeof canary);
    CHECK(openslide_get_icc_profile_size(osr) == 0);
    openslide_read_icc_profile(osr, canary);
    CHECK(AllBytes(canary, sizeof canary, 0xAB));
    CHECK(openslide_get_associated_image_icc_profile_size(osr, "no such image") == -1);

    /* A cache of the program's own: the same pixels read through it, twice. */
    openslide_cache_t* cache = openslide_cache_create(4 << 20);
    openslide_set_cache(osr, cache);
    openslide_cache_release(cache);
    uint32_t* first = Pixels(96, 64, 0);
    uint32_t* again = Pixels(96, 64, 1);
    openslide_read_region(osr, first, 300, 200, 1, 96, 64);
    openslide_read_region(osr, again, 300, 200, 1, 96, 64);
    CHECK(memcmp(first, again, 96 * 64 * 4) == 0 && !AllBytes(first, 96 * 64 * 4, 0));
    free(first);
    free(again);
    CHECK(openslide_get_error(osr) == NULL);
}

static void TarnPixels(openslide_t* osr, const char* path) {
    tarn_slide* ref = tarn_open(path);
    int64_t w = 0, h = 0, tw = 0, th = 0;
    openslide_get_level0_dimensions(osr, &w, &h);
    tarn_get_level_dimensions(ref, 0, &tw, &th);
    CHECK(w == tw && h == th && openslide_get_level_count(osr) == tarn_get_level_count(ref));
    uint32_t* got = Pixels(200, 100, 0);
    uint32_t* want = Pixels(200, 100, 1);
    openslide_read_region(osr, got, w - 150, h - 50, 0, 200, 100); /* across the corner */
    CHECK(tarn_read_region(ref, want, w - 150, h - 50, 0, 200, 100, TARN_FORMAT_BGRA) == 0);
    CHECK(memcmp(got, want, 200 * 100 * 4) == 0);
    openslide_get_associated_image_dimensions(osr, "label", &w, &h);
    openslide_read_associated_image(osr, "label", got);
    CHECK(w * h <= 200 * 100 &&
          tarn_read_associated_image(ref, "label", want, TARN_FORMAT_BGRA) == 0 &&
          memcmp(got, want, (size_t)(w * h * 4)) == 0);
    free(got);
    free(want);
    tarn_close(ref);
}

/* A slide of another format, from the stand-in for the real library (FakeOpenSlide.c): its
 * associated images' sizes added to its properties, and OpenSlide 4's clearing of an image whose
 * read fails, where 3.4 left the buffer as it was. Once the slide is in error no size is known, so
 * nothing is written, and only the real library's answers stand. */
static void Forwarded(const char* path) {
    openslide_t* osr = openslide_open(path);
    CHECK(osr != NULL &&
          strcmp(openslide_get_property_value(osr, "openslide.vendor"), "fake") == 0);
    const char* const* names = openslide_get_property_names(osr);
    const char* const expected[] = {"openslide.associated.broken.height",
                                    "openslide.associated.broken.width",
                                    "openslide.associated.label.height",
                                    "openslide.associated.label.width",
                                    "openslide.vendor",
                                    NULL};
    int same = 1;
    for (int i = 0; same && expected[i] != NULL; ++i)
        same = names[i] != NULL && strcmp(names[i], expected[i]) == 0;
    CHECK(same && names[5] == NULL);
    CHECK(strcmp(openslide_get_property_value(osr, "openslide.associated.label.width"), "4") == 0);
    uint32_t image[4 * 2];
    memset(image, 0x55, sizeof image);
    openslide_read_associated_image(osr, "label", image);
    CHECK(AllBytes(image, sizeof image, 0xff));
    openslide_read_associated_image(osr, "broken", image);
    CHECK(openslide_get_error(osr) != NULL && AllBytes(image, sizeof image, 0));

    memset(image, 0x55, sizeof image);
    int64_t w = 0, h = 0;
    openslide_get_associated_image_dimensions(osr, "label", &w, &h);
    openslide_read_associated_image(osr, "label", image);
    CHECK(w == -1 && h == -1 && AllBytes(image, sizeof image, 0x55));
    CHECK(openslide_get_property_names(osr)[0] == NULL &&
          openslide_get_property_value(osr, "openslide.associated.label.width") == NULL);
    openslide_close(osr);
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--fake") == 0) {
        Forwarded(argv[2]);
        printf("%d passed, %d failed\n", passed, failed);
        return failed != 0;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: %s SLIDE.tarn PYRAMID.tif | --fake FILE\n", argv[0]);
        return 2;
    }
    CHECK(strncmp(openslide_get_version(), "4.0.0+tarn.", 11) == 0);
    const char* vendors[] = {"tarn", "generic-tiff"};
    openslide_t* slides[2];
    for (int i = 0; i < 2; ++i) {
        const char* vendor = openslide_detect_vendor(argv[1 + i]);
        CHECK(vendor != NULL && strcmp(vendor, vendors[i]) == 0);
        slides[i] = openslide_open(argv[1 + i]);
        CHECK(slides[i] != NULL && openslide_get_error(slides[i]) == NULL);
    }
    if (slides[0] != NULL && slides[1] != NULL) {
        Describe(slides[0]);
        Describe(slides[1]);
        CHECK(Count(openslide_get_associated_image_names(slides[0]), "") == 3);
        TarnPixels(slides[0], argv[1]);
    }
    openslide_close(slides[0]);
    openslide_close(slides[1]);
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}
