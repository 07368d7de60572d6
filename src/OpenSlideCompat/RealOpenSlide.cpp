#include "OpenSlideCompat/RealOpenSlide.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace tarn::compat {
namespace {

struct Loaded {
    RealOpenSlide functions;
    bool present = false;
    char why[512] = "";  // when not present
};

// Marks this library's own code, to tell it apart from the one loaded.
void OwnCode() {}

bool IsThisLibrary(void* symbol) {
    Dl_info theirs{}, ours{};
    return dladdr(symbol, &theirs) != 0 && dladdr(reinterpret_cast<void*>(&OwnCode), &ours) != 0 &&
           theirs.dli_fbase == ours.dli_fbase;
}

template <class Function>
void Resolve(void* library, const char* name, Function* out) {
    *out = reinterpret_cast<Function>(dlsym(library, name));
}

Loaded* Load() {
    static Loaded noMemory;
    // Kept for the life of the process, as the library is: calls may come while it exits.
    auto* loaded = new (std::nothrow) Loaded;
    if (loaded == nullptr) {
        snprintf(noMemory.why, sizeof noMemory.why, "out of memory");
        return &noMemory;
    }
    // A set-user-ID program never loads a library its caller names.
    const char* chosen = secure_getenv("TARN_OPENSLIDE_LIBRARY");
    const char* path = chosen != nullptr ? chosen : TARN_REAL_OPENSLIDE;
    if (path[0] == '\0') {
        snprintf(loaded->why, sizeof loaded->why, "TARN_OPENSLIDE_LIBRARY is empty");
        return loaded;
    }
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = dlerror();
        snprintf(loaded->why, sizeof loaded->why, "%s", error != nullptr ? error : path);
        return loaded;
    }
    RealOpenSlide& f = loaded->functions;
    Resolve(library, "openslide_open", &f.open);
    if (f.open == nullptr || IsThisLibrary(reinterpret_cast<void*>(f.open))) {
        snprintf(loaded->why, sizeof loaded->why, "%s is not another OpenSlide library", path);
        dlclose(library);
        return loaded;
    }
    Resolve(library, "openslide_detect_vendor", &f.detect_vendor);
    Resolve(library, "openslide_close", &f.close);
    Resolve(library, "openslide_get_error", &f.get_error);
    Resolve(library, "openslide_get_level_count", &f.get_level_count);
    Resolve(library, "openslide_get_level0_dimensions", &f.get_level0_dimensions);
    Resolve(library, "openslide_get_level_dimensions", &f.get_level_dimensions);
    Resolve(library, "openslide_get_level_downsample", &f.get_level_downsample);
    Resolve(library, "openslide_get_best_level_for_downsample", &f.get_best_level_for_downsample);
    Resolve(library, "openslide_read_region", &f.read_region);
    Resolve(library, "openslide_get_property_names", &f.get_property_names);
    Resolve(library, "openslide_get_property_value", &f.get_property_value);
    Resolve(library, "openslide_get_associated_image_names", &f.get_associated_image_names);
    Resolve(library, "openslide_get_associated_image_dimensions",
            &f.get_associated_image_dimensions);
    Resolve(library, "openslide_read_associated_image", &f.read_associated_image);
    Resolve(library, "openslide_get_icc_profile_size", &f.get_icc_profile_size);
    Resolve(library, "openslide_read_icc_profile", &f.read_icc_profile);
    Resolve(library, "openslide_get_associated_image_icc_profile_size",
            &f.get_associated_image_icc_profile_size);
    Resolve(library, "openslide_read_associated_image_icc_profile",
            &f.read_associated_image_icc_profile);
    const bool complete = f.detect_vendor && f.close && f.get_error && f.get_level_count &&
                          f.get_level0_dimensions && f.get_level_dimensions &&
                          f.get_level_downsample && f.get_best_level_for_downsample &&
                          f.read_region && f.get_property_names && f.get_property_value &&
                          f.get_associated_image_names && f.get_associated_image_dimensions &&
                          f.read_associated_image;
    if (!complete) {
        snprintf(loaded->why, sizeof loaded->why, "%s lacks functions of OpenSlide 3.4", path);
        loaded->functions = RealOpenSlide{};
        dlclose(library);
        return loaded;
    }
    loaded->present = true;
    return loaded;
}

const Loaded& TheLoaded() {
    static const Loaded* const loaded = Load();
    return *loaded;
}

}  // namespace

const RealOpenSlide* Real() {
    const Loaded& loaded = TheLoaded();
    return loaded.present ? &loaded.functions : nullptr;
}

const char* RealMissingReason() {
    return TheLoaded().why;
}

}  // namespace tarn::compat
