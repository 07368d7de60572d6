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

namespace {

template <int kBytes, bool kRedFirst>
void ConvertRow(const uint8_t* src, uint8_t* dst, uint32_t width) {
    for (uint32_t i = width; i-- > 0;) {
        const uint8_t b = src[i * 3], g = src[i * 3 + 1], r = src[i * 3 + 2];
        uint8_t* out = dst + size_t{i} * kBytes;
        out[0] = kRedFirst ? r : b;
        out[1] = g;
        out[2] = kRedFirst ? b : r;
        if constexpr (kBytes == 4) out[3] = 255;
    }
}

}  // namespace

void ConvertBgr(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride,
                uint32_t width, uint32_t height, PixelFormat format) {
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* from = src + row * srcStride;
        uint8_t* to = dst + row * dstStride;
        switch (format) {
            case PixelFormat::Bgr:
                if (from != to) memmove(to, from, size_t{width} * 3);
                break;
            case PixelFormat::Rgb:
                ConvertRow<3, true>(from, to, width);
                break;
            case PixelFormat::Bgra:
                ConvertRow<4, false>(from, to, width);
                break;
            case PixelFormat::Rgba:
                ConvertRow<4, true>(from, to, width);
                break;
        }
    }
}

void FillOutside(uint8_t* dst, size_t count, PixelFormat format) {
    memset(dst, BytesPerPixel(format) == 4 ? 0 : 0xFF, count);
}

}  // namespace tarn
