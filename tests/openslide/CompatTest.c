/* libopenslide.so.0 as an OpenSlide program sees it, on a Tarn slide and a pyramidal TIFF in one
 * process: the calls OpenSlide 4 added (declared here with their documented prototypes: Debian's
 * header is 3.4.1's), reads on several threads against tarn.h's pixels, and OpenSlide's error
 * state on bad input. OpenSlide's and libvips' own programs check the rest (test_programs.py).
 *
 * usage: openslide_compat_test SLIDE.tarn PYRAMID.tif       (a real OpenSlide is installed)
 *        openslide_compat_test --no-real SLIDE.tarn PYRAMID.tif   (TARN_OPENSLIDE_LIBRARY names
 * none)
 */
#define _GNU_SOURCE
#include <openslide/openslide.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tarn.h"

/* The deprecated calls are part of the interface too. */
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

/* OpenSlide 4's additions, as its documentation declares them. */
typedef struct _openslide_cache openslide_cache_t;
int64_t openslide_get_icc_profile_size(openslide_t* osr);
void openslide_read_icc_profile(openslide_t* osr, void* dest);
int64_t openslide_get_associated_image_icc_profile_size(openslide_t* osr, const char* name);
void openslide_read_associated_image_icc_profile(openslide_t* osr, const char* name, void* dest);
openslide_cache_t* openslide_cache_create(size_t capacity_in_bytes);
void openslide_set_cache(openslide_t* osr, openslide_cache_t* cache);
void openslide_cache_release(openslide_cache_t* cache);

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

static int HasName(const char* const* names, const char* name) {
    for (; names != NULL && *names != NULL; ++names)
        if (strcmp(*names, name) == 0) return 1;
    return 0;
}

/* Levels, associated images and properties as tarn.h has them; OpenSlide's answers to names and
 * levels that do not exist: -1, NULL or transparent, and no error. */
static void Describe(openslide_t* osr, tarn_slide* ref) {
    int64_t w = 0, h = 0, tw = 0, th = 0;
    CHECK(openslide_get_level_count(osr) == tarn_get_level_count(ref));
    openslide_get_level_dimensions(osr, 1, &w, &h);
    tarn_get_level_dimensions(ref, 1, &tw, &th);
    CHECK(w == tw && h == th && openslide_get_level_downsample(osr, 1) == 2.0);
    openslide_get_level_dimensions(osr, -1, &w, &h);
    CHECK(w == -1 && h == -1 && openslide_get_level_downsample(osr, 99) == -1.0);
    uint32_t* none = Pixels(16, 16, 0x77);
    openslide_read_region(osr, none, 0, 0, 99, 16, 16);
    CHECK(AllBytes(none, 16 * 16 * 4, 0));
    free(none);

    const char* const* names = openslide_get_associated_image_names(osr);
    CHECK(HasName(names, "label") && HasName(names, "macro") && HasName(names, "thumbnail"));
    openslide_get_associated_image_dimensions(osr, "thumbnail", &w, &h);
    uint32_t* got = Pixels(w, h, 0);
    uint32_t* want = Pixels(w, h, 1);
    openslide_read_associated_image(osr, "thumbnail", got);
    CHECK(tarn_read_associated_image(ref, "thumbnail", want, TARN_FORMAT_BGRA) == 0);
    CHECK(memcmp(got, want, (size_t)(w * h * 4)) == 0);
    free(got);
    free(want);
    openslide_get_associated_image_dimensions(osr, "overview", &w, &h);
    CHECK(w == -1 && h == -1);

    names = openslide_get_property_names(osr);
    CHECK(HasName(names, OPENSLIDE_PROPERTY_NAME_QUICKHASH1) &&
          !HasName(names, "openslide.icc-size"));
    CHECK(strcmp(openslide_get_property_value(osr, OPENSLIDE_PROPERTY_NAME_VENDOR), "tarn") == 0);
    CHECK(openslide_get_property_value(osr, "tarn.nothing") == NULL);
    CHECK(openslide_get_comment(osr) == NULL && openslide_get_error(osr) == NULL);
}

/* No colour profile anywhere, and nothing written for one; caches hold Tarn tiles. */
static void ProfilesAndCaches(openslide_t* tarn, openslide_t* tiff) {
    uint8_t canary[16];
    memset(canary, 0xAB, sizeof canary);
    openslide_t* slides[] = {tarn, tiff};
    for (int i = 0; i < 2; ++i) {
        if (slides[i] == NULL) continue;
        CHECK(openslide_get_icc_profile_size(slides[i]) == 0);
        openslide_read_icc_profile(slides[i], canary);
        CHECK(AllBytes(canary, sizeof canary, 0xAB));
        CHECK(openslide_get_associated_image_icc_profile_size(slides[i], "no such image") == -1);
        CHECK(openslide_get_error(slides[i]) == NULL);
    }
    CHECK(openslide_get_associated_image_icc_profile_size(tarn, "label") == 0);
    openslide_read_associated_image_icc_profile(tarn, "label", canary);
    CHECK(AllBytes(canary, sizeof canary, 0xAB));

    openslide_cache_t* cache = openslide_cache_create(4 << 20);
    CHECK(cache != NULL);
    openslide_set_cache(tarn, cache);
    if (tiff != NULL) openslide_set_cache(tiff, cache); /* passed by */
    openslide_cache_release(cache);                     /* the slide keeps it */
    uint32_t* first = Pixels(64, 64, 0);
    uint32_t* again = Pixels(64, 64, 1);
    for (int i = 0; i < 3; ++i)
        openslide_read_region(tarn, i == 0 ? first : again, 7, 9, 0, 64, 64);
    CHECK(memcmp(first, again, 64 * 64 * 4) == 0);
    tarn_cache_stats stats;
    CHECK(tarn_cache_get_stats((tarn_cache*)cache, &stats) == 0 && stats.hits >= 1);
    if (tiff != NULL) {
        openslide_read_region(tiff, first, 7, 9, 0, 64, 64);
        CHECK(openslide_get_error(tiff) == NULL);
    }
    free(first);
    free(again);
}

/* ---- Threads: both slides read at once, each read equal to the same read on one thread ---- */

struct Job {
    openslide_t* slides[2];
    const uint32_t* expected[2][8];
    int ok;
};

/* Inside the picture, across its bottom-right corner, and before its top-left one. */
static void RegionOf(int k, int64_t* x, int64_t* y) {
    *x = k == 6 ? 1420 : k == 7 ? -40 : 197 * k;
    *y = k == 6 ? 950 : k == 7 ? -30 : 131 * k;
}

static void* ReadAll(void* argument) {
    struct Job* job = argument;
    uint32_t* got = Pixels(128, 128, 0);
    job->ok = 1;
    for (int round = 0; round < 6; ++round)
        for (int k = 0; k < 8; ++k)
            for (int s = 0; s < 2; ++s) {
                int64_t x = 0, y = 0;
                RegionOf(k, &x, &y);
                openslide_read_region(job->slides[s], got, x, y, k % 2, 128, 128);
                if (memcmp(got, job->expected[s][k], 128 * 128 * 4) != 0) job->ok = 0;
            }
    free(got);
    return NULL;
}

/* Tarn regions are tarn.h's BGRA bytes; the TIFF's are those of the same read on one thread. */
static void Threads(openslide_t* tarn, openslide_t* tiff, tarn_slide* ref) {
    struct Job jobs[4];
    uint32_t* expected[2][8];
    openslide_t* slides[2] = {tarn, tiff};
    for (int k = 0; k < 8; ++k) {
        int64_t x = 0, y = 0;
        RegionOf(k, &x, &y);
        expected[0][k] = Pixels(128, 128, 0);
        CHECK(tarn_read_region(ref, expected[0][k], x, y, k % 2, 128, 128, TARN_FORMAT_BGRA) == 0);
        expected[1][k] = Pixels(128, 128, 0);
        openslide_read_region(tiff, expected[1][k], x, y, k % 2, 128, 128);
    }
    pthread_t threads[4];
    for (int t = 0; t < 4; ++t) {
        memcpy(jobs[t].slides, slides, sizeof slides);
        memcpy(jobs[t].expected, expected, sizeof expected);
        pthread_create(&threads[t], NULL, ReadAll, &jobs[t]);
    }
    for (int t = 0; t < 4; ++t) {
        pthread_join(threads[t], NULL);
        CHECK(jobs[t].ok);
    }
    for (int s = 0; s < 2; ++s)
        for (int k = 0; k < 8; ++k)
            free(expected[s][k]);
    CHECK(openslide_get_error(tarn) == NULL && openslide_get_error(tiff) == NULL);
}

/* ---- Bad input: OpenSlide's error state, never a crash ---- */

static int Copy(const char* from, const char* to) {
    char command[4096];
    snprintf(command, sizeof command, "cp '%s' '%s'", from, to);
    return system(command) == 0;
}

static void ErrorState(const char* slidePath) {
    uint32_t* region = Pixels(8, 8, 0x33);
    /* NULL: answers of a handle in error state. */
    CHECK(openslide_get_level_count(NULL) == -1);
    CHECK(openslide_get_error(NULL) != NULL);
    CHECK(openslide_get_property_names(NULL)[0] == NULL);
    openslide_read_region(NULL, region, 0, 0, 0, 8, 8);
    CHECK(AllBytes(region, 8 * 8 * 4, 0));
    openslide_close(NULL);
    CHECK(openslide_open(NULL) == NULL && openslide_detect_vendor(NULL) == NULL);

    /* A bad size latches: from then on every call fails, the first message stays. */
    openslide_t* osr = openslide_open(slidePath);
    openslide_read_region(osr, region, 0, 0, 0, -1, 8);
    const char* first = openslide_get_error(osr);
    CHECK(first != NULL);
    CHECK(openslide_get_level_count(osr) == -1);
    CHECK(openslide_get_property_names(osr)[0] == NULL);
    CHECK(openslide_get_property_value(osr, OPENSLIDE_PROPERTY_NAME_VENDOR) == NULL);
    CHECK(openslide_get_associated_image_names(osr)[0] == NULL);
    CHECK(openslide_get_icc_profile_size(osr) == -1);
    memset(region, 0x33, 8 * 8 * 4);
    openslide_read_region(osr, region, 0, 0, 0, 8, 8);
    CHECK(AllBytes(region, 8 * 8 * 4, 0));
    openslide_read_region(osr, region, 0, 0, 0, INT64_MAX / 2, INT64_MAX / 2);
    CHECK(openslide_get_error(osr) == first);
    openslide_close(osr);

    osr = openslide_open(slidePath);
    openslide_read_region(osr, region, 0, 0, 0, INT64_MAX / 2, 3);
    CHECK(openslide_get_error(osr) != NULL && region[0] == 0); /* nothing written */
    openslide_close(osr);
    /* Closed: in error state too, and closing again is harmless. */
    CHECK(openslide_get_level_count(osr) == -1 && openslide_get_error(osr) != NULL);
    openslide_close(osr);

    /* A slide removed or replaced after the open fails its reads, and stays failed. */
    char moved[] = "/tmp/openslide-compat-XXXXXX";
    const int fd = mkstemp(moved);
    close(fd);
    CHECK(Copy(slidePath, moved));
    osr = openslide_open(moved);
    CHECK(osr != NULL && openslide_get_error(osr) == NULL);
    unlink(moved);
    CHECK(Copy(slidePath, moved));
    memset(region, 0x33, 8 * 8 * 4);
    openslide_read_region(osr, region, 300, 300, 0, 8, 8);
    CHECK(openslide_get_error(osr) != NULL && AllBytes(region, 8 * 8 * 4, 0));
    CHECK(openslide_get_level_count(osr) == -1);
    openslide_close(osr);
    unlink(moved);

    /* Recognised as Tarn but damaged: a handle in error state, as OpenSlide opens a damaged
     * file of a format it knows. */
    FILE* damaged = fopen(moved, "wb");
    char head[156] = {'Z', 'Y'};
    head[38] = 1; /* one layer */
    head[50] = 1; /* tile width 1 */
    head[54] = 1; /* tile height 1 */
    fwrite(head, 1, sizeof head, damaged);
    fclose(damaged);
    CHECK(strcmp(openslide_detect_vendor(moved), "tarn") == 0);
    osr = openslide_open(moved);
    CHECK(osr != NULL && openslide_get_error(osr) != NULL);
    openslide_close(osr);
    CHECK(!openslide_can_open(moved));
    unlink(moved);
    free(region);
}

int main(int argc, char** argv) {
    const int noReal = argc > 1 && strcmp(argv[1], "--no-real") == 0;
    if (argc != 3 + noReal) {
        fprintf(stderr, "usage: %s [--no-real] SLIDE.tarn PYRAMID.tif\n", argv[0]);
        return 2;
    }
    const char* slidePath = argv[1 + noReal];
    const char* tiffPath = argv[2 + noReal];

    CHECK(strcmp(openslide_get_version(), "4.0.0+tarn.") > 0);
    CHECK(strcmp(openslide_detect_vendor(slidePath), "tarn") == 0);
    openslide_t* tarn = openslide_open(slidePath);
    tarn_slide* ref = tarn_open(slidePath);
    CHECK(tarn != NULL && ref != NULL && openslide_get_error(tarn) == NULL);
    openslide_t* tiff = openslide_open(tiffPath);
    if (noReal) {
        /* Other formats need the real library: unsupported without it. */
        CHECK(tiff == NULL && openslide_detect_vendor(tiffPath) == NULL);
    } else {
        CHECK(tiff != NULL && openslide_get_error(tiff) == NULL);
        CHECK(strcmp(openslide_detect_vendor(tiffPath), "generic-tiff") == 0);
        CHECK(openslide_can_open(tiffPath));
    }
    if (tarn != NULL && ref != NULL) {
        Describe(tarn, ref);
        ProfilesAndCaches(tarn, tiff);
        if (tiff != NULL) Threads(tarn, tiff, ref);
    }
    ErrorState(slidePath);
    openslide_close(tarn);
    openslide_close(tiff);
    tarn_close(ref);
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}
