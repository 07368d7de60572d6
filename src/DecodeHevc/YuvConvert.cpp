// 8-bit 4:2:0 to packed pixels: integer BT.601 (limited range), then the colour-correction
// lookup. This runs on every pixel of every HEVC tile. Each row goes in two passes over a small
// chunk: the formula, sixteen pixels at a time with AVX2 where the processor has it and eight
// with SSE2 otherwise, turns samples into table indices and asks for the table entries; then a
// tight loop looks the indices up and stores the pixels. Kept apart, the table reads do not wait
// behind the arithmetic, so many of them are in flight at once.
#include <immintrin.h>

#include <cstring>

#include "DecodeHevc/HevcDecoder.h"
#include "Common/PixelStores.h"

namespace tarn {
namespace {

// Pixels converted per pass: the index buffer stays in the first-level cache.
constexpr int kChunk = 256;

inline uint8_t Clamp255(int value) {
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// The table index R << 16 | G << 8 | B of one pixel. `>>` on a negative int is an arithmetic
// shift (guaranteed from C++20 on).
inline uint32_t IndexOf(uint8_t luma, uint8_t u, uint8_t v) {
    const int ys = 298 * (luma - 16), us = u - 128, vs = v - 128;
    const uint32_t r = Clamp255((ys + 409 * vs + 128) >> 8);
    const uint32_t g = Clamp255((ys - 100 * us - 208 * vs + 128) >> 8);
    const uint32_t b = Clamp255((ys + 516 * us + 128) >> 8);
    return r << 16 | g << 8 | b;
}

// Eight pixels from column `column` (even), the same formula in 32-bit lanes: pairs of 16-bit
// samples times pairs of coefficients (madd), the arithmetic shift, then the saturating packs
// clamp to 0..255 (the shifted values lie within -223..534, far inside 16 bits).
inline void EightIndices(const uint8_t* luma, const uint8_t* u, const uint8_t* v, int column,
                         uint32_t* out) {
    const __m128i zero = _mm_setzero_si128();
    uint32_t u4 = 0, v4 = 0;
    memcpy(&u4, u + (column >> 1), sizeof u4);
    memcpy(&v4, v + (column >> 1), sizeof v4);
    __m128i us = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(u4)), zero);
    __m128i vs = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v4)), zero);
    // Each chroma sample serves two neighbouring pixels.
    us = _mm_sub_epi16(_mm_unpacklo_epi16(us, us), _mm_set1_epi16(128));
    vs = _mm_sub_epi16(_mm_unpacklo_epi16(vs, vs), _mm_set1_epi16(128));
    const __m128i ys = _mm_sub_epi16(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(luma + column)), zero),
        _mm_set1_epi16(16));

    const __m128i rounding = _mm_set1_epi32(128);
    const __m128i redK = _mm_setr_epi16(298, 409, 298, 409, 298, 409, 298, 409);
    const __m128i blueK = _mm_setr_epi16(298, 516, 298, 516, 298, 516, 298, 516);
    const __m128i greenYuK = _mm_setr_epi16(298, -100, 298, -100, 298, -100, 298, -100);
    const __m128i greenVK = _mm_setr_epi16(-208, 128, -208, 128, -208, 128, -208, 128);
    const __m128i ones = _mm_set1_epi16(1);

    const __m128i yvLo = _mm_unpacklo_epi16(ys, vs), yvHi = _mm_unpackhi_epi16(ys, vs);
    const __m128i yuLo = _mm_unpacklo_epi16(ys, us), yuHi = _mm_unpackhi_epi16(ys, us);
    const __m128i v1Lo = _mm_unpacklo_epi16(vs, ones), v1Hi = _mm_unpackhi_epi16(vs, ones);

    const __m128i red =
        _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yvLo, redK), rounding), 8),
                        _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yvHi, redK), rounding), 8));
    const __m128i blue =
        _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yuLo, blueK), rounding), 8),
                        _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yuHi, blueK), rounding), 8));
    // 298 Y - 100 U, plus -208 V + 128 (V paired with 1 carries the rounding).
    const __m128i green = _mm_packs_epi32(
        _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yuLo, greenYuK), _mm_madd_epi16(v1Lo, greenVK)),
                       8),
        _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yuHi, greenYuK), _mm_madd_epi16(v1Hi, greenVK)),
                       8));

    const __m128i red8 = _mm_packus_epi16(red, red);
    const __m128i blueGreen =
        _mm_unpacklo_epi8(_mm_packus_epi16(blue, blue), _mm_packus_epi16(green, green));
    const __m128i red16 = _mm_unpacklo_epi8(red8, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(blueGreen, red16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(blueGreen, red16));
}

// EightIndices on 256-bit registers, for sixteen pixels from an even column. The unpacks and packs
// work within each 128-bit half, which holds pixels 0-3 and 8-11 (low unpacks) or 4-7 and 12-15
// (high unpacks) until the packs restore the order; the final permutes join the halves.
__attribute__((target("avx2"))) inline void SixteenIndices(const uint8_t* luma, const uint8_t* u,
                                                           const uint8_t* v, int column,
                                                           uint32_t* out) {
    const __m128i zero128 = _mm_setzero_si128();
    const __m128i u16 = _mm_sub_epi16(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + (column >> 1))),
                          zero128),
        _mm_set1_epi16(128));
    const __m128i v16 = _mm_sub_epi16(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + (column >> 1))),
                          zero128),
        _mm_set1_epi16(128));
    // Each chroma sample serves two neighbouring pixels: chroma 0-3 for pixels 0-7, 4-7 for 8-15.
    const __m256i us = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi16(u16, u16)),
                                               _mm_unpackhi_epi16(u16, u16), 1);
    const __m256i vs = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi16(v16, v16)),
                                               _mm_unpackhi_epi16(v16, v16), 1);
    const __m256i ys = _mm256_sub_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + column))),
        _mm256_set1_epi16(16));

    const __m256i rounding = _mm256_set1_epi32(128);
    const __m256i redK = _mm256_set1_epi32(409 << 16 | 298);
    const __m256i blueK = _mm256_set1_epi32(516 << 16 | 298);
    const __m256i greenYuK = _mm256_set1_epi32(static_cast<int>(0xFF9Cu << 16 | 298));  // -100
    const __m256i greenVK = _mm256_set1_epi32(static_cast<int>(128u << 16 | 0xFF30u));  // -208
    const __m256i ones = _mm256_set1_epi16(1);

    const __m256i yvLo = _mm256_unpacklo_epi16(ys, vs), yvHi = _mm256_unpackhi_epi16(ys, vs);
    const __m256i yuLo = _mm256_unpacklo_epi16(ys, us), yuHi = _mm256_unpackhi_epi16(ys, us);
    const __m256i v1Lo = _mm256_unpacklo_epi16(vs, ones), v1Hi = _mm256_unpackhi_epi16(vs, ones);

    const __m256i red = _mm256_packs_epi32(
        _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(yvLo, redK), rounding), 8),
        _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(yvHi, redK), rounding), 8));
    const __m256i blue = _mm256_packs_epi32(
        _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(yuLo, blueK), rounding), 8),
        _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(yuHi, blueK), rounding), 8));
    const __m256i green = _mm256_packs_epi32(
        _mm256_srai_epi32(
            _mm256_add_epi32(_mm256_madd_epi16(yuLo, greenYuK), _mm256_madd_epi16(v1Lo, greenVK)),
            8),
        _mm256_srai_epi32(
            _mm256_add_epi32(_mm256_madd_epi16(yuHi, greenYuK), _mm256_madd_epi16(v1Hi, greenVK)),
            8));

    const __m256i zero = _mm256_setzero_si256();
    const __m256i blueGreen =
        _mm256_unpacklo_epi8(_mm256_packus_epi16(blue, blue), _mm256_packus_epi16(green, green));
    const __m256i red16 = _mm256_unpacklo_epi8(_mm256_packus_epi16(red, red), zero);
    const __m256i lo = _mm256_unpacklo_epi16(blueGreen, red16);  // pixels 0-3 | 8-11
    const __m256i hi = _mm256_unpackhi_epi16(blueGreen, red16);  // pixels 4-7 | 12-15
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8),
                        _mm256_permute2x128_si256(lo, hi, 0x31));
}

// The two kinds of table: packed entries, one load per pixel, or the three planes of a table that
// a caller built by hand.
struct PackedLookup {
    const uint32_t* packed;
    uint32_t operator()(uint32_t index) const { return packed[index]; }
    void Prefetch(const uint32_t* indices, int count) const {
        for (int i = 0; i < count; ++i)
            _mm_prefetch(reinterpret_cast<const char*>(packed + indices[i]), _MM_HINT_T0);
    }
};

struct PlaneLookup {
    ColorLookup lookup;
    uint32_t operator()(uint32_t index) const {
        return CorrectedBgr(lookup, static_cast<uint8_t>(index >> 16),
                            static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index));
    }
    void Prefetch(const uint32_t*, int) const {}
};

// Indices of the longest run of whole sixteen-pixel blocks from the even column `begin`; returns
// the column after it. Only this loop needs AVX2: heads and tails take the shared path below, so
// they are the same, and tested, on every processor.
template <class Lookup>
__attribute__((target("avx2"))) int SixteensAvx2(const Lookup& lookup, const uint8_t* luma,
                                                 const uint8_t* u, const uint8_t* v, int begin,
                                                 int end, uint32_t* out) {
    for (; begin + 16 <= end; begin += 16, out += 16) {
        SixteenIndices(luma, u, v, begin, out);
        lookup.Prefetch(out, 16);
    }
    return begin;
}

// Table indices of picture columns [begin, end) of one luma row and its chroma rows. The table
// entries are requested while the arithmetic runs, so the store pass finds them in the cache.
template <class Lookup>
void RowIndices(const Lookup& lookup, bool avx2, const uint8_t* luma, const uint8_t* u,
                const uint8_t* v, int begin, int end, uint32_t* out) {
    int column = begin;
    if (column & 1) {  // the run starts on the second pixel of a chroma pair
        *out++ = IndexOf(luma[column], u[column >> 1], v[column >> 1]);
        ++column;
    }
    if (avx2) {
        const int reached = SixteensAvx2(lookup, luma, u, v, column, end, out);
        out += reached - column;
        column = reached;
    }
    for (; column + 8 <= end; column += 8, out += 8) {
        EightIndices(luma, u, v, column, out);
        lookup.Prefetch(out, 8);
    }
    for (; column < end; ++column)
        *out++ = IndexOf(luma[column], u[column >> 1], v[column >> 1]);
}

bool ProcessorHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Looks up and stores `count` pixels. Only the last one is stored exactly: the others may spill
// into their successor, so nothing outside the run is ever written.
template <class Layout, class Lookup>
inline void StorePixels(const Lookup& sharedLookup, const uint32_t* indices, int count,
                        uint8_t* out) {
    const Lookup lookup = sharedLookup;  // a local copy: the byte stores cannot alias it
    for (int i = 0; i + 1 < count; ++i, out += Layout::kBytes)
        Layout::StoreWithSpare(out, lookup(indices[i]));
    Layout::Store(out, lookup(indices[count - 1]));
}

template <class Layout, class Lookup>
void ConvertRect(const YuvView& picture, const Lookup& lookup, int x, int y, int width, int height,
                 uint8_t* dst, size_t dstStride) {
    uint32_t indices[kChunk] = {};  // every one is written before it is read
    const bool avx2 = ProcessorHasAvx2();
    for (int row = 0; row < height; ++row) {
        const int py = y + row;
        const uint8_t* luma = picture.plane[0] + static_cast<ptrdiff_t>(py) * picture.stride[0];
        const uint8_t* u = picture.plane[1] + static_cast<ptrdiff_t>(py >> 1) * picture.stride[1];
        const uint8_t* v = picture.plane[2] + static_cast<ptrdiff_t>(py >> 1) * picture.stride[2];
        uint8_t* out = dst + row * dstStride;
        for (int begin = x; begin < x + width; begin += kChunk) {
            const int end = begin + kChunk < x + width ? begin + kChunk : x + width;
            RowIndices(lookup, avx2, luma, u, v, begin, end, indices);
            StorePixels<Layout>(lookup, indices, end - begin, out);
            out += static_cast<size_t>(end - begin) * Layout::kBytes;
        }
    }
}

template <class Layout>
void ConvertWithLayout(const YuvView& picture, const ColorLookup& lookup, int x, int y, int width,
                       int height, uint8_t* dst, size_t dstStride) {
    if (lookup.packed != nullptr)
        ConvertRect<Layout>(picture, PackedLookup{lookup.packed}, x, y, width, height, dst,
                            dstStride);
    else
        ConvertRect<Layout>(picture, PlaneLookup{lookup}, x, y, width, height, dst, dstStride);
}

bool RectInside(const YuvView& picture, int x, int y, int width, int height) {
    return x >= 0 && y >= 0 && width > 0 && height > 0 && width <= picture.width - x &&
           height <= picture.height - y;
}

}  // namespace

PackedLayout KnownLayout(int space) {
    switch (static_cast<PackedLayout>(space)) {
        case PackedLayout::Rgb24:
        case PackedLayout::Bgr24:
        case PackedLayout::Argb:
        case PackedLayout::Abgr:
        case PackedLayout::Bgra:
            return static_cast<PackedLayout>(space);
        default:  // PackedLayout::Rgba, and every number without a layout of its own
            return PackedLayout::Rgba;
    }
}

int BytesPerPixel(PackedLayout space) {
    return space == PackedLayout::Rgb24 || space == PackedLayout::Bgr24 ? 3 : 4;
}

void ConvertYuvRect(const YuvView& picture, const ColorLookup& lookup, int x, int y, int width,
                    int height, PackedLayout space, uint8_t* dst, size_t dstStride) {
    if (!lookup || dst == nullptr || !RectInside(picture, x, y, width, height)) return;
    switch (space) {
        case PackedLayout::Bgr24:
            return ConvertWithLayout<Bgr24>(picture, lookup, x, y, width, height, dst, dstStride);
        case PackedLayout::Rgb24:
            return ConvertWithLayout<Rgb24>(picture, lookup, x, y, width, height, dst, dstStride);
        case PackedLayout::Bgra:
            return ConvertWithLayout<Bgra32>(picture, lookup, x, y, width, height, dst, dstStride);
        case PackedLayout::Argb:
            return ConvertWithLayout<Argb32>(picture, lookup, x, y, width, height, dst, dstStride);
        case PackedLayout::Abgr:
            return ConvertWithLayout<Abgr32>(picture, lookup, x, y, width, height, dst, dstStride);
        default:  // PackedLayout::Rgba and every value without a layout of its own
            return ConvertWithLayout<Rgba32>(picture, lookup, x, y, width, height, dst, dstStride);
    }
}

bool PackedImageBytes(int width, int height, PackedLayout space, int* bytes) {
    if (width <= 0 || height <= 0) return false;
    int pixels = 0;
    return !__builtin_mul_overflow(width, height, &pixels) &&
           !__builtin_mul_overflow(pixels, BytesPerPixel(space), bytes);
}

YuvView PlanarYuvView(const uint8_t* yuv, int width, int height) {
    YuvView view;
    const int chromaWidth = (width + 1) / 2;
    const size_t lumaBytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t chromaBytes =
        static_cast<size_t>(chromaWidth) * static_cast<size_t>((height + 1) / 2);
    view.plane[0] = yuv;
    view.plane[1] = yuv + lumaBytes;
    view.plane[2] = yuv + lumaBytes + chromaBytes;
    view.stride[0] = width;
    view.stride[1] = chromaWidth;
    view.stride[2] = chromaWidth;
    view.width = width;
    view.height = height;
    return view;
}

}  // namespace tarn
