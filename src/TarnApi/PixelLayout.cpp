#include "TarnApi/PixelLayout.h"

#include <cstring>
#include <utility>

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
void ConvertPixel(const uint8_t* src, uint8_t* dst) {
    const uint8_t b = src[0], g = src[1], r = src[2];
    dst[0] = kRedFirst ? r : b;
    dst[1] = g;
    dst[2] = kRedFirst ? b : r;
    if constexpr (kBytes == 4) dst[3] = 255;
}

// Four pixels from 12 bytes, as words: all read before any is written.
template <int kBytes, bool kRedFirst>
void ConvertFour(const uint8_t* src, uint8_t* dst) {
    uint32_t in[3];
    memcpy(in, src, 12);
    // Pixel p's blue, green, red as one word (little-endian: blue lowest).
    const uint32_t p0 = in[0] & 0xFFFFFF;
    const uint32_t p1 = (in[0] >> 24) | ((in[1] & 0xFFFF) << 8);
    const uint32_t p2 = (in[1] >> 16) | ((in[2] & 0xFF) << 16);
    const uint32_t p3 = in[2] >> 8;
    uint32_t out[4] = {p0, p1, p2, p3};
    for (uint32_t& pixel : out) {
        // Red and blue trade places: reversing the bytes of (pixel << 8) does that in one step.
        if constexpr (kRedFirst) pixel = __builtin_bswap32(pixel << 8);
        if constexpr (kBytes == 4) pixel |= 0xFF000000U;
    }
    if constexpr (kBytes == 4) {
        memcpy(dst, out, 16);
    } else {
        const uint32_t words[3] = {out[0] | (out[1] << 24), (out[1] >> 8) | (out[2] << 16),
                                   (out[2] >> 16) | (out[3] << 8)};
        memcpy(dst, words, 12);
    }
}

// From the last pixel to the first: in place, the bytes a pixel is written to never hold a pixel
// not yet read (pixel i goes to bytes at kBytes * i >= 3 * i).
template <int kBytes, bool kRedFirst>
void ConvertRow(const uint8_t* src, uint8_t* dst, uint32_t width) {
    if constexpr (kBytes == 3) {
        if (src == dst) {  // in place, red and blue only trade places
            for (uint32_t i = 0; i < width; ++i)
                std::swap(dst[size_t{i} * 3], dst[size_t{i} * 3 + 2]);
            return;
        }
    }
    uint32_t i = width;
    for (; i % 4 != 0; --i)
        ConvertPixel<kBytes, kRedFirst>(src + size_t{i - 1} * 3, dst + size_t{i - 1} * kBytes);
    for (; i > 0; i -= 4)
        ConvertFour<kBytes, kRedFirst>(src + size_t{i - 4} * 3, dst + size_t{i - 4} * kBytes);
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
