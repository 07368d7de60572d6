// 8-bit 4:2:0 to packed pixels: integer BT.601 (limited range), then the colour-correction
// lookup. This runs on every pixel of every HEVC tile, so the inner loop is specialised per
// output layout and per kind of lookup, and works on pixel pairs that share their chroma.
#include <cstring>

#include "DecodeHevc/HevcDecoder.h"
#include "DecodeTarnCxx.h"

namespace tarn {
namespace {

// The chroma terms shared by the (up to four) pixels of one chroma sample, rounding included.
struct ChromaTerms {
    int red;
    int green;
    int blue;
};

inline ChromaTerms ChromaTermsOf(uint8_t u, uint8_t v) {
    const int us = u - 128;
    const int vs = v - 128;
    return {409 * vs + 128, -100 * us - 208 * vs + 128, 516 * us + 128};
}

inline uint8_t Clamp255(int value) {
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// The corrected pixel packed as B' | G' << 8 | R' << 16. `>>` on a negative int is an arithmetic
// shift with every compiler we build with (and guaranteed from C++20 on).
template <class Lookup>
inline uint32_t CorrectedPixel(const Lookup& lookup, uint8_t luma, const ChromaTerms& chroma) {
    const int ys = 298 * (luma - 16);
    return lookup(Clamp255((ys + chroma.red) >> 8), Clamp255((ys + chroma.green) >> 8),
                  Clamp255((ys + chroma.blue) >> 8));
}

struct PackedLookup {
    const uint32_t* packed;
    uint32_t operator()(uint8_t r, uint8_t g, uint8_t b) const {
        return packed[(static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8) | b];
    }
};

struct PlaneLookup {
    ColorLookup lookup;
    uint32_t operator()(uint8_t r, uint8_t g, uint8_t b) const {
        return CorrectedBgr(lookup, r, g, b);
    }
};

// Output layouts. `Store` writes one corrected pixel (B' | G' << 8 | R' << 16) at `out`.
struct Bgr24 {
    static constexpr int kBytes = 3;
    static void Store(uint8_t* out, uint32_t c) {
        out[0] = static_cast<uint8_t>(c);
        out[1] = static_cast<uint8_t>(c >> 8);
        out[2] = static_cast<uint8_t>(c >> 16);
    }
};

struct Rgb24 {
    static constexpr int kBytes = 3;
    static void Store(uint8_t* out, uint32_t c) {
        out[0] = static_cast<uint8_t>(c >> 16);
        out[1] = static_cast<uint8_t>(c >> 8);
        out[2] = static_cast<uint8_t>(c);
    }
};

// The 4-byte layouts store one little-endian word: byte 0 is its lowest eight bits.
inline void StoreWord(uint8_t* out, uint32_t word) {
    std::memcpy(out, &word, sizeof word);
}

struct Bgra {
    static constexpr int kBytes = 4;
    static void Store(uint8_t* out, uint32_t c) { StoreWord(out, c | 0xFF000000u); }
};

struct Rgba {
    static constexpr int kBytes = 4;
    static void Store(uint8_t* out, uint32_t c) {
        StoreWord(out, ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu) | 0xFF000000u);
    }
};

struct Argb {
    static constexpr int kBytes = 4;
    static void Store(uint8_t* out, uint32_t c) { StoreWord(out, __builtin_bswap32(c) | 0xFFu); }
};

struct Abgr {
    static constexpr int kBytes = 4;
    static void Store(uint8_t* out, uint32_t c) { StoreWord(out, (c << 8) | 0xFFu); }
};

// One output row from picture columns [x, x + width) of one luma row and its chroma rows.
template <class Layout, class Lookup>
void ConvertRow(const Lookup& lookup, const uint8_t* luma, const uint8_t* u, const uint8_t* v,
                int x, int width, uint8_t* out) {
    int column = x;
    const int end = x + width;
    if (column & 1) {  // the rectangle starts on the second pixel of a chroma pair
        const ChromaTerms chroma = ChromaTermsOf(u[column >> 1], v[column >> 1]);
        Layout::Store(out, CorrectedPixel(lookup, luma[column], chroma));
        out += Layout::kBytes;
        ++column;
    }
    for (; column + 1 < end; column += 2) {
        const ChromaTerms chroma = ChromaTermsOf(u[column >> 1], v[column >> 1]);
        const uint32_t first = CorrectedPixel(lookup, luma[column], chroma);
        const uint32_t second = CorrectedPixel(lookup, luma[column + 1], chroma);
        Layout::Store(out, first);
        Layout::Store(out + Layout::kBytes, second);
        out += 2 * Layout::kBytes;
    }
    if (column < end) {
        const ChromaTerms chroma = ChromaTermsOf(u[column >> 1], v[column >> 1]);
        Layout::Store(out, CorrectedPixel(lookup, luma[column], chroma));
    }
}

template <class Layout, class Lookup>
void ConvertRect(const YuvView& picture, const Lookup& lookup, int x, int y, int width, int height,
                 uint8_t* dst, size_t dstStride) {
    for (int row = 0; row < height; ++row) {
        const int py = y + row;
        const uint8_t* luma = picture.plane[0] + static_cast<ptrdiff_t>(py) * picture.stride[0];
        const uint8_t* u = picture.plane[1] + static_cast<ptrdiff_t>(py >> 1) * picture.stride[1];
        const uint8_t* v = picture.plane[2] + static_cast<ptrdiff_t>(py >> 1) * picture.stride[2];
        ConvertRow<Layout>(lookup, luma, u, v, x, width, dst + row * dstStride);
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

int BytesPerPixel(_ColorSpace space) {
    return space == CS_RGB24 || space == CS_BGR24 ? 3 : 4;
}

void ConvertYuvRect(const YuvView& picture, const ColorLookup& lookup, int x, int y, int width,
                    int height, _ColorSpace space, uint8_t* dst, size_t dstStride) {
    if (!lookup || dst == nullptr || !RectInside(picture, x, y, width, height)) return;
    switch (space) {
        case CS_BGR24:
            return ConvertWithLayout<Bgr24>(picture, lookup, x, y, width, height, dst, dstStride);
        case CS_RGB24:
            return ConvertWithLayout<Rgb24>(picture, lookup, x, y, width, height, dst, dstStride);
        case CS_BGRA:
            return ConvertWithLayout<Bgra>(picture, lookup, x, y, width, height, dst, dstStride);
        case CS_ARGB:
            return ConvertWithLayout<Argb>(picture, lookup, x, y, width, height, dst, dstStride);
        case CS_ABGR:
            return ConvertWithLayout<Abgr>(picture, lookup, x, y, width, height, dst, dstStride);
        default:  // CS_RGBA and every value without a layout of its own
            return ConvertWithLayout<Rgba>(picture, lookup, x, y, width, height, dst, dstStride);
    }
}

bool PackedImageBytes(int width, int height, _ColorSpace space, int* bytes) {
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

ZY_API int Yuv420pRgb(unsigned char* yuv, unsigned char* out, int width, int height,
                      _ColorSpace space) {
    int bytes = 0;
    if (yuv == nullptr || out == nullptr || !tarn::PackedImageBytes(width, height, space, &bytes))
        return -1;
    const tarn::PinnedGlobalTable table;
    if (!table.lookup()) return -1;
    const size_t stride =
        static_cast<size_t>(width) * static_cast<size_t>(tarn::BytesPerPixel(space));
    tarn::ConvertYuvRect(tarn::PlanarYuvView(yuv, width, height), table.lookup(), 0, 0, width,
                         height, space, out, stride);
    return bytes;
}
