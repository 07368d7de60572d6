// What belongs to the library rather than to a slide: its version, pixel layouts, the thread cap
// and buffers it hands out.
#include <cstdlib>

#include "Common/EnumValue.h"
#include "TarnApi/PixelLayout.h"
#include "tarn.h"
#include "Common/ThreadCap.h"

const char* tarn_version(void) {
    return TARN_VERSION;
}

const char* tarn_get_version(void) {
    return TARN_VERSION;
}

int tarn_format_bytes(tarn_format format) {
    tarn::PixelFormat layout{};
    return tarn::PixelFormatOf(tarn::EnumValue(format), &layout) ? tarn::BytesPerPixel(layout) : 0;
}

void tarn_set_threads(int n) {
    tarn::SetThreadCap(n);
}

int tarn_get_threads(void) {
    return tarn::ThreadBudget();
}

void tarn_free(void* buffer) {
    free(buffer);
}
