// Opening, closing, errors, vendor and version. A file is Tarn's when its header says so; every
// other file goes to the real OpenSlide.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "OpenSlideCompat/Handles.h"
#include "OpenSlideCompat/Interface.h"

namespace tarn::compat {
namespace {

// Names with a scheme ("https://...") are not files: tarn_open decides whether it reads them.
bool LooksLikeUrl(const char* name) {
    const char* colon = strstr(name, "://");
    return colon != nullptr && colon != name &&
           strcspn(name, "/") > static_cast<size_t>(colon - name);
}

// OpenSlide 4's added properties of a Tarn slide, and of a slide the real library opened (which
// lists them itself when it is OpenSlide 4).
std::unique_ptr<AddedProperties> AddedOfTarn(tarn_slide* slide) {
    return AddAssociatedProperties(
        tarn_get_property_names(slide), tarn_get_associated_image_names(slide),
        [](void* s, const char* name, int64_t* w, int64_t* h) {
            tarn_get_associated_image_dimensions(static_cast<tarn_slide*>(s), name, w, h);
        },
        slide);
}

std::unique_ptr<AddedProperties> AddedOfReal(openslide_t* theirs) {
    const RealOpenSlide& real = *Real();
    return AddAssociatedProperties(
        real.get_property_names(theirs), real.get_associated_image_names(theirs),
        [](void* s, const char* name, int64_t* w, int64_t* h) {
            Real()->get_associated_image_dimensions(static_cast<openslide_t*>(s), name, w, h);
        },
        theirs);
}

// A handle for a slide tarn_open opened; null when it did not, or when memory ran out.
openslide_t* WrapTarn(tarn_slide* slide) {
    if (slide == nullptr) return nullptr;
    std::unique_ptr<AddedProperties> added;
    if (IsOpenSlide4() && !(added = AddedOfTarn(slide))) {
        tarn_close(slide);
        return nullptr;
    }
    openslide_t* osr = NewHandle(HandleKind::Tarn, slide, nullptr, nullptr, std::move(added));
    if (osr == nullptr) tarn_close(slide);
    return osr;
}

// A handle wrapping one the real library opened; null when memory ran out. A slide the real
// library opened in error state lists nothing, so nothing is added to it.
openslide_t* WrapReal(openslide_t* theirs) {
    const RealOpenSlide& real = *Real();
    std::unique_ptr<AddedProperties> added;
    if (IsOpenSlide4() && real.get_error(theirs) == nullptr && !(added = AddedOfReal(theirs))) {
        real.close(theirs);
        return nullptr;
    }
    openslide_t* osr = NewHandle(HandleKind::Forwarded, nullptr, theirs, nullptr, std::move(added));
    if (osr == nullptr) real.close(theirs);
    return osr;
}

openslide_t* OpenTarn(const char* filename) {
    if (openslide_t* osr = WrapTarn(tarn_open(filename))) return osr;
    // Recognised but unreadable: OpenSlide's answer is a handle in error state.
    return NewHandle(HandleKind::Tarn, nullptr, nullptr, tarn_get_error(nullptr));
}

// Says once per process why files other than Tarn slides cannot be read.
void ExplainMissingReal(const char* filename) {
    static std::once_flag said;
    std::call_once(said, [filename] {
        fprintf(stderr,
                "libopenslide (libDecodeTarn): %s is not a Tarn slide, and no other OpenSlide "
                "library is available to read it (%s; TARN_OPENSLIDE_LIBRARY names one)\n",
                filename, RealMissingReason());
    });
}

}  // namespace
}  // namespace tarn::compat

using namespace tarn::compat;

const char* openslide_detect_vendor(const char* filename) {
    if (filename == nullptr) return nullptr;
    if (const char* vendor = tarn_detect_vendor(filename)) return vendor;
    const RealOpenSlide* real = Real();
    return real != nullptr ? real->detect_vendor(filename) : nullptr;
}

openslide_t* openslide_open(const char* filename) {
    if (filename == nullptr) return nullptr;
    if (tarn_detect_vendor(filename) != nullptr) return OpenTarn(filename);
    if (const RealOpenSlide* real = Real()) {
        if (openslide_t* theirs = real->open(filename)) return WrapReal(theirs);
    } else if (!LooksLikeUrl(filename)) {
        ExplainMissingReal(filename);
    }
    return LooksLikeUrl(filename) ? WrapTarn(tarn_open(filename)) : nullptr;
}

void openslide_close(openslide_t* osr) {
    if (osr == nullptr) return;
    if (IsOurs(osr)) {
        CloseHandle(osr);
    } else if (const RealOpenSlide* real = Real()) {
        real->close(osr);
    }
}

const char* openslide_get_error(openslide_t* osr) {
    if (osr == nullptr) return "no slide: the handle is NULL";
    if (!IsOurs(osr)) {
        const RealOpenSlide* real = Real();
        return real != nullptr ? real->get_error(osr) : "not a slide of this library";
    }
    std::shared_lock<std::shared_mutex> hold(osr->gate);
    if (osr->kind == HandleKind::Forwarded) return Real()->get_error(osr->real);
    return osr->error.load(std::memory_order_acquire);
}

const char* openslide_get_version(void) {
    // The interface is OpenSlide 4's; the build metadata says whose library this is.
    return TARN_OPENSLIDE_VERSION;
}
