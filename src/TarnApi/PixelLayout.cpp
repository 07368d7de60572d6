#include "TarnApi/PixelLayout.h"

#include <cstring>

namespace tarn {

bool PixelFormatOf(int format, PixelFormat* out) {
    switch (format) {
        case TARN_FORMAT_RGBA:
            *out = PixelFormat::Rgba;
            return true;
        case TARN_FORMAT_BGRA:
            *out = PixelFormat::Bgra;
            return true;
        case TARN_FORMAT_RGB:
            *out = PixelFormat::Rgb;
            return true;
        case TARN_FORMAT_BGR:
            *out = PixelFormat::Bgr;
            return true;
        default:
            return false;
    }
}

bool CallerLayout(SlideCall& call, int format, PixelFormat* out) {
    if (PixelFormatOf(format, out)) return true;
    call.Fail("unknown pixel format %d", format);
    return false;
}

void FillOutside(uint8_t* dst, size_t count, PixelFormat format) {
    memset(dst, BytesPerPixel(format) == 4 ? 0 : 0xFF, count);
}

}  // namespace tarn
