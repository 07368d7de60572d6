#include "Common/PixelCopy.h"

#include <immintrin.h>

#include <cstring>

namespace tarn {
namespace {

// The scalar loops do the tails of rows, and whole rows on processors without SSSE3, so one
// tested path covers both.
void SwapRow(const uint8_t* src, uint8_t* dst, size_t from, size_t count) {
    for (size_t i = from; i < count; ++i) {
        dst[3 * i] = src[3 * i + 2];
        dst[3 * i + 1] = src[3 * i + 1];
        dst[3 * i + 2] = src[3 * i];
    }
}

void WidenRow(const uint8_t* src, uint8_t* dst, size_t from, size_t count, bool redFirst) {
    const int first = redFirst ? 2 : 0;
    for (size_t i = from; i < count; ++i) {
        dst[4 * i] = src[3 * i + first];
        dst[4 * i + 1] = src[3 * i + 1];
        dst[4 * i + 2] = src[3 * i + 2 - first];
        dst[4 * i + 3] = 0xFF;
    }
}

bool ProcessorHasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}

// Five pixels per step: a 16-byte load and store of which 15 bytes are the five pixels and the
// sixteenth is the next pixel's first byte, rewritten by the next step or the tail. Steps stop
// where 16 bytes no longer fit in the row. Returns the pixels done.
__attribute__((target("ssse3"))) size_t SwapRowSsse3(const uint8_t* src, uint8_t* dst,
                                                     size_t count) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t i = 0;
    for (; i + 6 <= count; i += 5) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * i), _mm_shuffle_epi8(in, order));
    }
    return i;
}

// Four pixels per step: 12 bytes of a 16-byte load spread to 16 bytes with alpha set. The load
// must stay inside the row, so the last few pixels are left to the tail.
__attribute__((target("ssse3"))) size_t WidenRowSsse3(const uint8_t* src, uint8_t* dst,
                                                      size_t count, bool redFirst) {
    const __m128i order = redFirst
                              ? _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
                              : _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000U));
    size_t i = 0;
    for (; i + 6 <= count; i += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * i));
        const __m128i out = _mm_or_si128(_mm_shuffle_epi8(in, order), alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), out);
    }
    return i;
}

}  // namespace

void CopyBgrPixels(const uint8_t* src, size_t srcStride, uint32_t width, uint32_t height,
                   uint8_t* dst, size_t dstStride, PixelFormat format) {
    const bool simd = ProcessorHasSsse3();
    const bool redFirst = RedFirst(format);
    for (uint32_t row = 0; row < height; ++row, src += srcStride, dst += dstStride) {
        switch (format) {
            case PixelFormat::Bgr:
                memcpy(dst, src, size_t{width} * 3);
                break;
            case PixelFormat::Rgb:
                SwapRow(src, dst, simd ? SwapRowSsse3(src, dst, width) : 0, width);
                break;
            case PixelFormat::Bgra:
            case PixelFormat::Rgba:
                WidenRow(src, dst, simd ? WidenRowSsse3(src, dst, width, redFirst) : 0, width,
                         redFirst);
                break;
        }
    }
}

}  // namespace tarn
