/* The C baseline of the Python benchmark: regions read by tarn_read_region in a plain loop, on
 * the very slide the Python side reads, so both meet the same file, cache and tables. */
#include <time.h>

#include "tarn.h"

/* Reads the n regions whose level-0 corners are xy[2i], xy[2i+1] into `dest`; the seconds it
 * took, or -1 when a read failed. */
double tarn_bench_read_regions(tarn_slide* slide, const int64_t* xy, int n, int64_t w, int64_t h,
                               int32_t level, int format, void* dest) {
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < n; ++i)
        if (tarn_read_region(slide, dest, xy[2 * i], xy[2 * i + 1], level, w, h,
                             (tarn_format)format) != 0)
            return -1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    return (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) * 1e-9;
}

/* Encodes the n Deep Zoom tiles whose level, column and row are tiles[3i], tiles[3i+1],
 * tiles[3i+2] as JPEGs of `quality`, releasing each; the seconds it took, or -1. */
double tarn_bench_deepzoom_jpeg(tarn_deepzoom* dz, const int64_t* tiles, int n, int quality) {
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < n; ++i) {
        uint8_t* jpeg = NULL;
        size_t size = 0;
        if (tarn_deepzoom_read_tile_jpeg(dz, (int32_t)tiles[3 * i], tiles[3 * i + 1],
                                         tiles[3 * i + 2], quality, &jpeg, &size) != 0)
            return -1;
        tarn_free(jpeg);
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    return (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) * 1e-9;
}
