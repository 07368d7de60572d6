// Levels, regions, properties and associated images. Tarn slides read through tarn.h, whose
// errors belong to the call; here the first failure latches, as OpenSlide's do.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "OpenSlideCompat/Handles.h"
#include "OpenSlideCompat/Interface.h"

namespace tarn::compat {
namespace {

const char* const kNoNames[] = {nullptr};

bool LevelExists(openslide_t* osr, int32_t level) {
    return level >= 0 && level < tarn_get_level_count(osr->tarn);
}

// Bytes of a w x h region of 4-byte pixels; false when that does not fit in memory.
bool RegionBytes(int64_t w, int64_t h, size_t* bytes) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(w), static_cast<uint64_t>(h), &product) ||
        __builtin_mul_overflow(product, uint64_t{4}, &product) || product > PTRDIFF_MAX)
        return false;
    *bytes = product;
    return true;
}

void Dimensions(int64_t* w, int64_t* h, int64_t width, int64_t height) {
    if (w != nullptr) *w = width;
    if (h != nullptr) *h = height;
}

}  // namespace
}  // namespace tarn::compat

using namespace tarn::compat;

int32_t openslide_get_level_count(openslide_t* osr) {
    return Dispatch(
        osr, int32_t{-1}, [](openslide_t* o) { return tarn_get_level_count(o->tarn); },
        [](const RealOpenSlide& real, openslide_t* o) { return real.get_level_count(o); });
}

void openslide_get_level_dimensions(openslide_t* osr, int32_t level, int64_t* w, int64_t* h) {
    Dimensions(w, h, -1, -1);
    Dispatch(
        osr, 0,
        [&](openslide_t* o) {
            // A level out of range is no error in OpenSlide: just -1.
            if (LevelExists(o, level)) tarn_get_level_dimensions(o->tarn, level, w, h);
            return 0;
        },
        [&](const RealOpenSlide& real, openslide_t* o) {
            real.get_level_dimensions(o, level, w, h);
            return 0;
        });
}

void openslide_get_level0_dimensions(openslide_t* osr, int64_t* w, int64_t* h) {
    openslide_get_level_dimensions(osr, 0, w, h);
}

double openslide_get_level_downsample(openslide_t* osr, int32_t level) {
    return Dispatch(
        osr, -1.0,
        [&](openslide_t* o) {
            return LevelExists(o, level) ? tarn_get_level_downsample(o->tarn, level) : -1.0;
        },
        [&](const RealOpenSlide& real, openslide_t* o) {
            return real.get_level_downsample(o, level);
        });
}

int32_t openslide_get_best_level_for_downsample(openslide_t* osr, double downsample) {
    return Dispatch(
        osr, int32_t{-1},
        [&](openslide_t* o) { return tarn_get_best_level_for_downsample(o->tarn, downsample); },
        [&](const RealOpenSlide& real, openslide_t* o) {
            return real.get_best_level_for_downsample(o, downsample);
        });
}

void openslide_read_region(openslide_t* osr, uint32_t* dest, int64_t x, int64_t y, int32_t level,
                           int64_t w, int64_t h) {
    if (osr != nullptr && !IsOurs(osr)) {
        if (const RealOpenSlide* real = Real()) real->read_region(osr, dest, x, y, level, w, h);
        return;
    }
    // Sizes are checked before anything is written: an overflowing size cannot say how much of
    // `dest` to clear.
    size_t bytes = 0;
    const bool sized = w >= 0 && h >= 0 && RegionBytes(w, h, &bytes);
    const auto clear = [&] {
        if (dest != nullptr && bytes != 0) memset(dest, 0, bytes);
    };
    if (osr == nullptr) return clear();
    std::shared_lock<std::shared_mutex> hold(osr->gate);
    switch (osr->kind) {
        case HandleKind::Forwarded:
            return Real()->read_region(osr->real, dest, x, y, level, w, h);
        case HandleKind::Closed:
            return clear();
        case HandleKind::Tarn:
            break;
    }
    if (!sized) {
        char message[128];
        if (w < 0 || h < 0)  // OpenSlide's words
            snprintf(message, sizeof message,
                     "negative width (%" PRId64 ") or negative height (%" PRId64 ") not allowed", w,
                     h);
        else
            snprintf(message, sizeof message,
                     "a region of %" PRId64 " x %" PRId64 " pixels does not fit in memory", w, h);
        Latch(osr, message);
        return;
    }
    if (dest == nullptr || bytes == 0) return;
    // OpenSlide paints a level that does not exist transparent, without an error.
    if (Latched(osr) || !LevelExists(osr, level)) return clear();
    // Premultiplied ARGB in native-endian words is blue, green, red, alpha in bytes, and Tarn
    // pixels are opaque or, outside the picture, all zero.
    if (tarn_read_region(osr->tarn, dest, x, y, level, w, h, TARN_FORMAT_BGRA) != 0) {
        LatchTarnError(osr);
        clear();
    }
}

// ---- Properties ----

// The added properties apply while the real library's slide is not in error: once it is, its
// own answers (no names, no values) stand.

const char* const* openslide_get_property_names(openslide_t* osr) {
    return Dispatch(
        osr, static_cast<const char* const*>(kNoNames),
        [](openslide_t* o) {
            return o->added ? o->added->names.data() : tarn_get_property_names(o->tarn);
        },
        [](const RealOpenSlide& real, openslide_t* theirs, openslide_t* ours) {
            if (ours != nullptr && ours->added && real.get_error(theirs) == nullptr)
                return static_cast<const char* const*>(ours->added->names.data());
            return real.get_property_names(theirs);
        });
}

const char* openslide_get_property_value(openslide_t* osr, const char* name) {
    return Dispatch(
        osr, static_cast<const char*>(nullptr),
        [&](openslide_t* o) -> const char* {
            if (name == nullptr) return nullptr;
            if (const char* value = FindAdded(o->added.get(), name)) return value;
            const char* value = tarn_get_property_value(o->tarn, name);
            // NULL without an error is a name the slide does not have.
            if (value == nullptr && tarn_get_error(o->tarn) != nullptr) LatchTarnError(o);
            return value;
        },
        [&](const RealOpenSlide& real, openslide_t* theirs, openslide_t* ours) {
            const char* added = ours != nullptr ? FindAdded(ours->added.get(), name) : nullptr;
            if (added != nullptr && real.get_error(theirs) == nullptr) return added;
            return real.get_property_value(theirs, name);
        });
}

// ---- Associated images ----

const char* const* openslide_get_associated_image_names(openslide_t* osr) {
    return Dispatch(
        osr, static_cast<const char* const*>(kNoNames),
        [](openslide_t* o) { return tarn_get_associated_image_names(o->tarn); },
        [](const RealOpenSlide& real, openslide_t* o) {
            return real.get_associated_image_names(o);
        });
}

void openslide_get_associated_image_dimensions(openslide_t* osr, const char* name, int64_t* w,
                                               int64_t* h) {
    Dimensions(w, h, -1, -1);
    Dispatch(
        osr, 0,
        [&](openslide_t* o) {
            // An image the slide does not have is no error in OpenSlide: just -1.
            if (name != nullptr) tarn_get_associated_image_dimensions(o->tarn, name, w, h);
            return 0;
        },
        [&](const RealOpenSlide& real, openslide_t* o) {
            real.get_associated_image_dimensions(o, name, w, h);
            return 0;
        });
}

// A read that fails leaves `dest` as it was in OpenSlide 3.4 and clears it in OpenSlide 4, so no
// partial picture passes for the image. A slide already in error writes nothing in either: the
// dimensions it gave the caller were -1, so no size of `dest` is known.
void openslide_read_associated_image(openslide_t* osr, const char* name, uint32_t* dest) {
    const auto clear = [&](int64_t w, int64_t h) {
        size_t bytes = 0;
        if (IsOpenSlide4() && w > 0 && h > 0 && RegionBytes(w, h, &bytes)) memset(dest, 0, bytes);
    };
    Dispatch(
        osr, 0,
        [&](openslide_t* o) {
            int64_t w = -1, h = -1;
            if (name == nullptr || dest == nullptr) return 0;
            tarn_get_associated_image_dimensions(o->tarn, name, &w, &h);
            // Nothing for an image the slide does not have.
            if (w > 0 && h > 0 &&
                tarn_read_associated_image(o->tarn, name, dest, TARN_FORMAT_BGRA) != 0) {
                LatchTarnError(o);
                clear(w, h);
            }
            return 0;
        },
        [&](const RealOpenSlide& real, openslide_t* o) {
            const bool wasFine = real.get_error(o) == nullptr;
            int64_t w = -1, h = -1;
            if (wasFine && dest != nullptr) real.get_associated_image_dimensions(o, name, &w, &h);
            real.read_associated_image(o, name, dest);
            if (wasFine && dest != nullptr && real.get_error(o) != nullptr) clear(w, h);
            return 0;
        });
}
