// Why an operation failed: the one error record of the library. Codecs and byte sources fill it
// with their status and their reason in words; it travels up unchanged, to tarn.h's
// tarn_get_error as text and to the fixed interface's mapping as a status, with what that
// interface needs to print a codec's complaint as it always did. The library prints nothing of
// its own accord.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "Common/Status.h"

namespace tarn {

struct Error {
    Status status = Status::Ok;
    char text[256] = {};
    // The codec's own complaint, one that a codec which prints would have printed (libjpeg's fatal
    // errors, an HEVC decoder that cannot be set up): the fixed interface prints these.
    bool loud = false;

    bool empty() const { return text[0] == '\0'; }
};

// Sets the text of `*error`, when there is one, to the printf-formatted text (not loud).
inline void Say(Error* error, const char* format, ...) __attribute__((format(printf, 2, 3)));
inline void Say(Error* error, const char* format, ...) {
    if (error == nullptr) return;
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14 loses track of va_start here.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(error->text, sizeof error->text, format, arguments);
    va_end(arguments);
    error->loud = false;
}

// Records `status` in `*error`, when there is one, and returns it: `return Failed(why, ...)`.
inline Status Failed(Error* error, Status status) {
    if (error != nullptr) error->status = status;
    return status;
}

}  // namespace tarn
