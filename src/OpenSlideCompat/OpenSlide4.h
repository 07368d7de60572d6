// The calls OpenSlide 4 added to openslide.h, with its documented prototypes. Debian's header is
// OpenSlide 3.4.1's, which lacks them.
#pragma once

#include <openslide/openslide.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _openslide_cache openslide_cache_t;

OPENSLIDE_PUBLIC()
int64_t openslide_get_icc_profile_size(openslide_t* osr);
OPENSLIDE_PUBLIC()
void openslide_read_icc_profile(openslide_t* osr, void* dest);
OPENSLIDE_PUBLIC()
int64_t openslide_get_associated_image_icc_profile_size(openslide_t* osr, const char* name);
OPENSLIDE_PUBLIC()
void openslide_read_associated_image_icc_profile(openslide_t* osr, const char* name, void* dest);

OPENSLIDE_PUBLIC()
openslide_cache_t* openslide_cache_create(size_t capacity_in_bytes);
OPENSLIDE_PUBLIC()
void openslide_set_cache(openslide_t* osr, openslide_cache_t* cache);
OPENSLIDE_PUBLIC()
void openslide_cache_release(openslide_cache_t* cache);

#define OPENSLIDE_PROPERTY_NAME_ICC_SIZE "openslide.icc-size"

#ifdef __cplusplus
}
#endif
