// The handles this library gives out. Every openslide_t a program holds is one of ours: it reads
// a Tarn slide through tarn.h, or wraps a handle of the real OpenSlide. A pointer that is not one
// of ours comes from the real library calling its own public functions (they resolve to ours when
// this library was loaded first) and goes back to it unchanged.
//
// Handles are never freed, only reused some closes later, so a call on a closed handle meets a
// handle in error state rather than freed memory, and no real library's handle can ever have the
// address of one of ours.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <type_traits>

#include "OpenSlideCompat/AddedProperties.h"
#include "OpenSlideCompat/OpenSlide4.h"
#include "OpenSlideCompat/RealOpenSlide.h"
#include "tarn.h"

namespace tarn::compat {

enum class HandleKind : uint8_t {
    Tarn,       // `tarn` is the slide, or null for one whose open failed (error latched)
    Forwarded,  // `real` is the real library's handle
    Closed,
};

}  // namespace tarn::compat

struct _openslide {
    // Calls hold it shared; openslide_close holds it alone, so a slide never goes while a call
    // on it runs.
    std::shared_mutex gate;
    tarn::compat::HandleKind kind = tarn::compat::HandleKind::Closed;  // under gate
    tarn_slide* tarn = nullptr;
    openslide_t* real = nullptr;
    // The properties libopenslide.so.1 lists beside the slide's own; null in libopenslide.so.0.
    std::unique_ptr<tarn::compat::AddedProperties> added;
    // The first failure on a Tarn handle, malloc'ed; once set, every call fails and this stays
    // until the close.
    std::atomic<char*> error{nullptr};
};

namespace tarn::compat {

// A new handle of `kind` (null when memory runs out). `error`, when not null, is latched at
// once: a Tarn slide that was recognised but did not open.
openslide_t* NewHandle(HandleKind kind, tarn_slide* tarn, openslide_t* real, const char* error,
                       std::unique_ptr<AddedProperties> added = nullptr);

// Closes what the handle holds and keeps the handle, closed, for reuse.
void CloseHandle(openslide_t* osr);

// Whether `osr` is a handle this library gave out (open or closed).
bool IsOurs(const openslide_t* osr);

// Latches `message` as the handle's error unless one is latched already: OpenSlide keeps the
// first failure.
void Latch(openslide_t* osr, const char* message);

// Latches the message of the last tarn.h call on the handle's slide from this thread.
void LatchTarnError(openslide_t* osr);

inline bool Latched(const openslide_t* osr) {
    return osr->error.load(std::memory_order_acquire) != nullptr;
}

// Runs one call on `osr`: onTarn(osr) for a Tarn slide not in error, onReal(real, handle) with
// the real library's handle for a forwarded one or for a handle that is not ours, and returns
// `failed` for a null or closed handle, a Tarn slide in error, or a foreign handle without a real
// library to take it. An onReal that takes a third argument also gets our handle wrapping the
// real one (null for a handle that is not ours).
template <class Result, class OnTarn, class OnReal>
Result Dispatch(openslide_t* osr, Result failed, OnTarn&& onTarn, OnReal&& onReal) {
    const auto forward = [&](openslide_t* theirs, openslide_t* ours) {
        if constexpr (std::is_invocable_v<OnReal, const RealOpenSlide&, openslide_t*, openslide_t*>)
            return onReal(*Real(), theirs, ours);
        else
            return onReal(*Real(), theirs);
    };
    if (osr == nullptr) return failed;
    if (!IsOurs(osr)) return Real() != nullptr ? forward(osr, nullptr) : failed;
    std::shared_lock<std::shared_mutex> hold(osr->gate);
    switch (osr->kind) {
        case HandleKind::Tarn:
            return Latched(osr) ? failed : onTarn(osr);
        case HandleKind::Forwarded:
            return forward(osr->real, osr);
        case HandleKind::Closed:
            break;
    }
    return failed;
}

}  // namespace tarn::compat
