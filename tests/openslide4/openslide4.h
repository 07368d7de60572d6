/* OpenSlide 4.0's interface, as its documentation declares it: the 23 calls, without the
 * deprecated ones 4.0 removed. Debian ships only 3.4.1's openslide.h, so a program built for
 * OpenSlide 4 carries this. run.sh also checks that libopenslide.so.1 exports exactly the names
 * declared here. */
#ifndef TARN_TEST_OPENSLIDE4_H
#define TARN_TEST_OPENSLIDE4_H

#include <stddef.h>
#include <stdint.h>

typedef struct _openslide openslide_t;
typedef struct _openslide_cache openslide_cache_t;

const char* openslide_detect_vendor(const char* filename);
openslide_t* openslide_open(const char* filename);
void openslide_close(openslide_t* osr);

int32_t openslide_get_level_count(openslide_t* osr);
void openslide_get_level0_dimensions(openslide_t* osr, int64_t* w, int64_t* h);
void openslide_get_level_dimensions(openslide_t* osr, int32_t level, int64_t* w, int64_t* h);
double openslide_get_level_downsample(openslide_t* osr, int32_t level);
int32_t openslide_get_best_level_for_downsample(openslide_t* osr, double downsample);
void openslide_read_region(openslide_t* osr, uint32_t* dest, int64_t x, int64_t y, int32_t level,
                           int64_t w, int64_t h);

int64_t openslide_get_icc_profile_size(openslide_t* osr);
void openslide_read_icc_profile(openslide_t* osr, void* dest);

const char* const* openslide_get_property_names(openslide_t* osr);
const char* openslide_get_property_value(openslide_t* osr, const char* name);

const char* const* openslide_get_associated_image_names(openslide_t* osr);
void openslide_get_associated_image_dimensions(openslide_t* osr, const char* name, int64_t* w,
                                               int64_t* h);
void openslide_read_associated_image(openslide_t* osr, const char* name, uint32_t* dest);
int64_t openslide_get_associated_image_icc_profile_size(openslide_t* osr, const char* name);
void openslide_read_associated_image_icc_profile(openslide_t* osr, const char* name, void* dest);

const char* openslide_get_error(openslide_t* osr);
const char* openslide_get_version(void);

openslide_cache_t* openslide_cache_create(size_t capacity_in_bytes);
void openslide_set_cache(openslide_t* osr, openslide_cache_t* cache);
void openslide_cache_release(openslide_cache_t* cache);

#define OPENSLIDE_PROPERTY_NAME_VENDOR "openslide.vendor"
#define OPENSLIDE_PROPERTY_NAME_ICC_SIZE "openslide.icc-size"

#endif
