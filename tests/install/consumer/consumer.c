/* A program built against an installed libDecodeTarn: opens a slide through both interfaces, reads
 * a region of layer 0 and prints what the install test checks: the slide's size, a checksum of the
 * pixels, that tarn.h gives the same pixels in its RGB layout, and the file the dynamic loader took
 * the library from. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

#include <DecodeTarn.h>
#include <tarn.h> /* installed beside DecodeTarn.h and usable from C */

enum { kRegionX = 100, kRegionY = 50, kRegionSize = 256 };

static uint32_t Fnv1a(const unsigned char* bytes, size_t count) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < count; i++)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SLIDE\n", argv[0]);
        return 2;
    }
    ZyTarnInfo* slide = ZyOpenTarn(argv[1]);
    if (slide == NULL) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    unsigned char* bgr = GetRoiSliceBgr(slide, 0, kRegionX, kRegionY, kRegionSize, kRegionSize);
    if (bgr == NULL) {
        fprintf(stderr, "cannot read the region\n");
        ZyCloseTarn(slide);
        return 1;
    }
    /* The sample slide holds tissue-like content: a region of one value means a broken read. */
    const size_t count = (size_t)kRegionSize * kRegionSize * 3;
    size_t differing = 0;
    for (size_t i = 1; i < count; i++)
        differing += bgr[i] != bgr[0];

    /* The same region through tarn.h, red first. */
    tarn_slide* modern = tarn_open(argv[1]);
    unsigned char rgb[kRegionSize * kRegionSize * 3];
    int same = modern != NULL && tarn_read_region(modern, rgb, kRegionX, kRegionY, 0, kRegionSize,
                                                  kRegionSize, TARN_FORMAT_RGB) == 0;
    for (size_t i = 0; same && i < count; i += 3)
        same = rgb[i] == bgr[i + 2] && rgb[i + 1] == bgr[i + 1] && rgb[i + 2] == bgr[i];
    tarn_close(modern);

    Dl_info where;
    const int located = dladdr((void*)&ZyOpenTarn, &where);
    printf("slide %u x %u, %u layers\n", slide->PicHead->ImageWidth, slide->PicHead->ImageHeight,
           slide->PicHead->Layer);
    printf("region %d x %d at %d,%d: fnv1a %08x, %s\n", kRegionSize, kRegionSize, kRegionX,
           kRegionY, Fnv1a(bgr, count), differing > 0 ? "varied" : "uniform");
    printf("tarn.h %s: %s\n", tarn_version(), same ? "same pixels" : "DIFFERENT PIXELS");
    printf("library %s\n", located && where.dli_fname ? where.dli_fname : "?");
    Dispose(bgr);
    ZyCloseTarn(slide);
    return differing > 0 && same ? 0 : 1;
}
