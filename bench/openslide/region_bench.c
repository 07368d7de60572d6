/* One side of the libopenslide.so.0 benchmark, in a process of its own: random 512 x 512 reads of
 * level 0 through openslide_read_region of a given libopenslide.so.0, or through tarn.h's
 * tarn_read_region in BGRA (the same bytes) of a given libDecodeTarn. Both are loaded by path, so
 * one program measures either. Prints the seconds the reads took, on the clock and in processor
 * time (the steadier figure on a busy machine).
 *
 * usage: region_bench openslide|tarn LIBRARY SLIDE COUNT SEED
 */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define REGION 512

static void* Symbol(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == NULL) {
        fprintf(stderr, "missing %s\n", name);
        exit(1);
    }
    return symbol;
}

static double Now(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s openslide|tarn LIBRARY SLIDE COUNT SEED\n", argv[0]);
        return 2;
    }
    const int viaOpenSlide = strcmp(argv[1], "openslide") == 0;
    const int count = atoi(argv[4]);
    srand((unsigned)atoi(argv[5]));
    void* library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    const char* prefix = viaOpenSlide ? "openslide" : "tarn";
    char name[64];
    snprintf(name, sizeof name, "%s_open", prefix);
    void* (*open)(const char*) = (void* (*)(const char*))Symbol(library, name);
    snprintf(name, sizeof name, "%s_get_level0_dimensions", prefix);
    void (*dimensions)(void*, int64_t*, int64_t*) =
        (void (*)(void*, int64_t*, int64_t*))Symbol(library, name);
    void (*openslideRead)(void*, uint32_t*, int64_t, int64_t, int32_t, int64_t, int64_t) = NULL;
    int (*tarnRead)(void*, void*, int64_t, int64_t, int32_t, int64_t, int64_t, int) = NULL;
    if (viaOpenSlide)
        openslideRead = (void (*)(void*, uint32_t*, int64_t, int64_t, int32_t, int64_t,
                                  int64_t))Symbol(library, "openslide_read_region");
    else
        tarnRead = (int (*)(void*, void*, int64_t, int64_t, int32_t, int64_t, int64_t, int))Symbol(
            library, "tarn_read_region");

    void* slide = open(argv[3]);
    if (slide == NULL) {
        fprintf(stderr, "cannot open %s\n", argv[3]);
        return 1;
    }
    int64_t width = 0, height = 0;
    dimensions(slide, &width, &height);
    uint32_t* pixels = malloc((size_t)REGION * REGION * 4);
    int64_t* xy = malloc(sizeof(int64_t) * 2 * (size_t)count);
    for (int i = 0; i < count; ++i) {
        xy[2 * i] = rand() % (width - REGION);
        xy[2 * i + 1] = rand() % (height - REGION);
    }
    const double start = Now(CLOCK_MONOTONIC), startCpu = Now(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < count; ++i) {
        if (viaOpenSlide)
            openslideRead(slide, pixels, xy[2 * i], xy[2 * i + 1], 0, REGION, REGION);
        else if (tarnRead(slide, pixels, xy[2 * i], xy[2 * i + 1], 0, REGION, REGION,
                          1 /* TARN_FORMAT_BGRA */) != 0)
            return 1;
    }
    printf("%.6f %.6f\n", Now(CLOCK_MONOTONIC) - start, Now(CLOCK_PROCESS_CPUTIME_ID) - startCpu);
    free(pixels);
    free(xy);
    return 0;
}
