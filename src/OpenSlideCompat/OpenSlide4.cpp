// The calls OpenSlide 4 added. Tarn slides have no colour profile (their pixels are sRGB), and
// read through the tile cache a program gives them. Slides of the real library answer its own
// profile calls when it has them, else "no profile"; caches are the Tarn tile cache's and pass
// them by.
#include "OpenSlideCompat/Handles.h"

using namespace tarn::compat;

int64_t openslide_get_icc_profile_size(openslide_t* osr) {
    return Dispatch(
        osr, int64_t{-1}, [](openslide_t* o) { return tarn_get_icc_profile_size(o->tarn); },
        [](const RealOpenSlide& real, openslide_t* o) {
            if (real.get_icc_profile_size != nullptr) return real.get_icc_profile_size(o);
            return real.get_error(o) != nullptr ? int64_t{-1} : int64_t{0};
        });
}

void openslide_read_icc_profile(openslide_t* osr, void* dest) {
    Dispatch(
        osr, 0,
        [&](openslide_t* o) {
            tarn_read_icc_profile(o->tarn, dest);  // no profile: nothing to write
            return 0;
        },
        [&](const RealOpenSlide& real, openslide_t* o) {
            if (real.read_icc_profile != nullptr) real.read_icc_profile(o, dest);
            return 0;
        });
}

int64_t openslide_get_associated_image_icc_profile_size(openslide_t* osr, const char* name) {
    return Dispatch(
        osr, int64_t{-1},
        [&](openslide_t* o) {
            // An image the slide does not have: -1, and no error, as for its dimensions.
            if (name == nullptr) return int64_t{-1};
            return tarn_get_associated_image_icc_profile_size(o->tarn, name);
        },
        [&](const RealOpenSlide& real, openslide_t* o) {
            if (real.get_associated_image_icc_profile_size != nullptr)
                return real.get_associated_image_icc_profile_size(o, name);
            int64_t w = -1, h = -1;
            real.get_associated_image_dimensions(o, name, &w, &h);
            return w < 0 ? int64_t{-1} : int64_t{0};
        });
}

void openslide_read_associated_image_icc_profile(openslide_t* osr, const char* name, void* dest) {
    Dispatch(
        osr, 0,
        [&](openslide_t* o) {
            if (name != nullptr) tarn_read_associated_image_icc_profile(o->tarn, name, dest);
            return 0;
        },
        [&](const RealOpenSlide& real, openslide_t* o) {
            if (real.read_associated_image_icc_profile != nullptr)
                real.read_associated_image_icc_profile(o, name, dest);
            return 0;
        });
}

// ---- Caches: an openslide_cache_t is a tarn_cache ----

namespace {

tarn_cache* TarnCache(openslide_cache_t* cache) {
    return reinterpret_cast<tarn_cache*>(cache);
}

}  // namespace

openslide_cache_t* openslide_cache_create(size_t capacity_in_bytes) {
    return reinterpret_cast<openslide_cache_t*>(tarn_cache_create(capacity_in_bytes));
}

void openslide_set_cache(openslide_t* osr, openslide_cache_t* cache) {
    Dispatch(
        osr, 0,
        [&](openslide_t* o) {
            tarn_set_cache(o->tarn, TarnCache(cache));
            return 0;
        },
        [](const RealOpenSlide&, openslide_t*) { return 0; });
}

void openslide_cache_release(openslide_cache_t* cache) {
    tarn_cache_release(TarnCache(cache));
}
