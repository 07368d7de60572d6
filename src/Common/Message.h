// Why an operation failed, in words a caller can show. The library prints nothing of its own
// accord: codecs and byte sources write their complaints here, and each interface decides what
// to do with them.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace tarn {

struct Message {
    char text[256] = {};
    // The codec's own complaint, one that a codec which prints would have printed (libjpeg's fatal
    // errors, an HEVC decoder that cannot be set up): the fixed interface prints these.
    bool loud = false;

    bool empty() const { return text[0] == '\0'; }
};

// Sets `*message`, when there is one, to the printf-formatted text (not loud).
inline void Say(Message* message, const char* format, ...) __attribute__((format(printf, 2, 3)));
inline void Say(Message* message, const char* format, ...) {
    if (message == nullptr) return;
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14 loses track of va_start here.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(message->text, sizeof message->text, format, arguments);
    va_end(arguments);
    message->loud = false;
}

}  // namespace tarn
