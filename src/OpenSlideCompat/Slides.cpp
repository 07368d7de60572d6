// Opening, closing, errors, vendor and version. A file is Tarn's when its header says so; every
// other file goes to the real OpenSlide.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "OpenSlideCompat/Handles.h"

namespace tarn::compat {
namespace {

// Names with a scheme ("https://...") are not files: tarn_open decides whether it reads them.
bool LooksLikeUrl(const char* name) {
    const char* colon = strstr(name, "://");
    return colon != nullptr && colon != name &&
           strcspn(name, "/") > static_cast<size_t>(colon - name);
}

// A handle for a slide tarn_open opened; null when it did not, or when memory ran out.
openslide_t* WrapTarn(tarn_slide* slide) {
    if (slide == nullptr) return nullptr;
    openslide_t* osr = NewHandle(HandleKind::Tarn, slide, nullptr, nullptr);
    if (osr == nullptr) tarn_close(slide);
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
        if (openslide_t* theirs = real->open(filename)) {
            openslide_t* osr = NewHandle(HandleKind::Forwarded, nullptr, theirs, nullptr);
            if (osr == nullptr) real->close(theirs);
            return osr;
        }
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
