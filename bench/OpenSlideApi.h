// OpenSlide 3.4.1 (Debian's libopenslide0), loaded at run time, through the few functions the
// benchmarks use beside the library.
#pragma once

#include <dlfcn.h>

#include <cstdint>

namespace tarnbench {

struct OpenSlideLibrary {
    void* (*open)(const char*) = nullptr;
    void (*close)(void*) = nullptr;
    const char* (*error)(void*) = nullptr;
    void (*readRegion)(void*, uint32_t*, int64_t, int64_t, int32_t, int64_t, int64_t) = nullptr;
    bool loaded = false;
};

template <class Function>
void Bind(void* handle, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(dlsym(handle, name));
}

// `loaded` is false when the library or one of its functions is missing.
inline const OpenSlideLibrary& OpenSlideApi() {
    static const OpenSlideLibrary api = [] {
        OpenSlideLibrary library;
        void* handle = dlopen("libopenslide.so.0", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return library;
        Bind(handle, "openslide_open", &library.open);
        Bind(handle, "openslide_close", &library.close);
        Bind(handle, "openslide_get_error", &library.error);
        Bind(handle, "openslide_read_region", &library.readRegion);
        library.loaded = library.open && library.close && library.error && library.readRegion;
        return library;
    }();
    return api;
}

}  // namespace tarnbench
