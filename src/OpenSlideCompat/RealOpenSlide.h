// The system's own OpenSlide, which reads every format that is not Tarn. It is loaded once, by an
// absolute path (TARN_OPENSLIDE_LIBRARY, else the path the project was built with), with
// RTLD_LOCAL: its calls to its own public functions still resolve to this library's when this one
// was loaded first, which is why every entry point here passes handles it does not own on.
#pragma once

#include "OpenSlideCompat/OpenSlide4.h"

namespace tarn::compat {

// The real library's functions; the OpenSlide 4 calls are null in a library without them.
struct RealOpenSlide {
    decltype(&::openslide_detect_vendor) detect_vendor = nullptr;
    decltype(&::openslide_open) open = nullptr;
    decltype(&::openslide_close) close = nullptr;
    decltype(&::openslide_get_error) get_error = nullptr;
    decltype(&::openslide_get_level_count) get_level_count = nullptr;
    decltype(&::openslide_get_level0_dimensions) get_level0_dimensions = nullptr;
    decltype(&::openslide_get_level_dimensions) get_level_dimensions = nullptr;
    decltype(&::openslide_get_level_downsample) get_level_downsample = nullptr;
    decltype(&::openslide_get_best_level_for_downsample) get_best_level_for_downsample = nullptr;
    decltype(&::openslide_read_region) read_region = nullptr;
    decltype(&::openslide_get_property_names) get_property_names = nullptr;
    decltype(&::openslide_get_property_value) get_property_value = nullptr;
    decltype(&::openslide_get_associated_image_names) get_associated_image_names = nullptr;
    decltype(&::openslide_get_associated_image_dimensions) get_associated_image_dimensions =
        nullptr;
    decltype(&::openslide_read_associated_image) read_associated_image = nullptr;
    decltype(&::openslide_get_icc_profile_size) get_icc_profile_size = nullptr;
    decltype(&::openslide_read_icc_profile) read_icc_profile = nullptr;
    decltype(&::openslide_get_associated_image_icc_profile_size)
        get_associated_image_icc_profile_size = nullptr;
    decltype(&::openslide_read_associated_image_icc_profile) read_associated_image_icc_profile =
        nullptr;
};

// The real library, loaded at the first call that needs it; null when there is none (not
// installed, TARN_OPENSLIDE_LIBRARY empty or naming a file that does not load, or naming this
// library itself).
const RealOpenSlide* Real();

// Why Real() is null.
const char* RealMissingReason();

}  // namespace tarn::compat
