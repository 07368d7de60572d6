// Correcting pixels through a colour table, and the small tables every colour table starts from.
// Tables the library builds live in the registry (TableCache.cpp).
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "ColorCorrect/ColorChain.h"
#include "ColorCorrect/ColorLut.h"
#include "Common/PixelStores.h"

namespace tarn {
namespace {

uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

void Store32(uint8_t* p, uint32_t v) {
    memcpy(p, &v, sizeof v);
}

uint32_t IndexAt(const uint8_t* pixel) {
    return pixel[0] | (static_cast<uint32_t>(pixel[1]) << 8) |
           (static_cast<uint32_t>(pixel[2]) << 16);
}

// 3-byte pixels through packed entries, four at a time: the twelve bytes of four pixels are
// three 32-bit words both ways. All input words are read before any output word is written, so
// the correction may run in place. An entry's top byte would land on its neighbour's colour
// (a table mapped from a file may carry anything there), so it is masked off. `Layout` orders
// the output's bytes: Rgb24 turns an entry around, red first.
template <class Layout>
void CorrectPacked3To3(const uint32_t* lut, const uint8_t* src, uint8_t* dst, size_t count) {
    constexpr uint32_t kColour = 0xFFFFFF;
    const auto colour = [](uint32_t entry) {
        if constexpr (std::is_same_v<Layout, Rgb24>) return Rgb24::Swapped(entry);
        return entry & kColour;
    };
    size_t i = 0;
    for (; i + 4 <= count; i += 4, src += 12, dst += 12) {
        const uint32_t w0 = Load32(src), w1 = Load32(src + 4), w2 = Load32(src + 8);
        const uint32_t e0 = colour(lut[w0 & 0xFFFFFF]);
        const uint32_t e1 = colour(lut[(w0 >> 24) | ((w1 & 0xFFFF) << 8)]);
        const uint32_t e2 = colour(lut[(w1 >> 16) | ((w2 & 0xFF) << 16)]);
        const uint32_t e3 = colour(lut[w2 >> 8]);
        Store32(dst, e0 | (e1 << 24));
        Store32(dst + 4, (e1 >> 8) | (e2 << 16));
        Store32(dst + 8, (e2 >> 16) | (e3 << 8));
    }
    for (; i < count; ++i, src += 3, dst += 3)
        Layout::Store(dst, lut[IndexAt(src)]);
}

// 3-byte pixels into a 4-byte layout through packed entries, four at a time as above. The
// layout's store sets the fourth byte, whatever an entry's top byte holds.
template <class Layout>
void CorrectPacked3To4(const uint32_t* lut, const uint8_t* src, uint8_t* dst, size_t count) {
    size_t i = 0;
    for (; i + 4 <= count; i += 4, src += 12, dst += 16) {
        const uint32_t w0 = Load32(src), w1 = Load32(src + 4), w2 = Load32(src + 8);
        Layout::Store(dst, lut[w0 & 0xFFFFFF]);
        Layout::Store(dst + 4, lut[(w0 >> 24) | ((w1 & 0xFFFF) << 8)]);
        Layout::Store(dst + 8, lut[(w1 >> 16) | ((w2 & 0xFF) << 16)]);
        Layout::Store(dst + 12, lut[w2 >> 8]);
    }
    for (; i < count; ++i, src += 3, dst += 4)
        Layout::Store(dst, lut[IndexAt(src)]);
}

// The packed entries, one load per pixel, or the planes of a table a caller built by hand.
struct PackedEntries {
    const uint32_t* packed;
    uint32_t operator()(const uint8_t* pixel) const { return packed[IndexAt(pixel)]; }
};

struct PlaneEntries {
    const ColorLookup& lookup;
    uint32_t operator()(const uint8_t* pixel) const {
        return CorrectedBgr(lookup, pixel[2], pixel[1], pixel[0]);
    }
};

// Each pixel is read before its corrected value is stored, and stores never reach past their own
// pixel, so the correction may run in place when source and destination pixels have one size.
template <int SrcChannels, class Layout, class Entries>
void CorrectEach(const Entries& entries, const uint8_t* src, uint8_t* dst, size_t count) {
    for (size_t i = 0; i < count; ++i, src += SrcChannels, dst += Layout::kBytes)
        Layout::Store(dst, entries(src));
}

template <int SrcChannels, class Layout>
void CorrectWithLayout(const ColorLookup& lookup, const uint8_t* src, uint8_t* dst, size_t count) {
    if (lookup.packed != nullptr)
        CorrectEach<SrcChannels, Layout>(PackedEntries{lookup.packed}, src, dst, count);
    else
        CorrectEach<SrcChannels, Layout>(PlaneEntries{lookup}, src, dst, count);
}

template <int SrcChannels>
void CorrectFrom(const ColorLookup& lookup, const uint8_t* src, uint8_t* dst, PixelFormat format,
                 size_t count) {
    switch (format) {
        case PixelFormat::Bgr:
            return CorrectWithLayout<SrcChannels, Bgr24>(lookup, src, dst, count);
        case PixelFormat::Rgb:
            return CorrectWithLayout<SrcChannels, Rgb24>(lookup, src, dst, count);
        case PixelFormat::Bgra:
            return CorrectWithLayout<SrcChannels, Bgra32>(lookup, src, dst, count);
        case PixelFormat::Rgba:
            return CorrectWithLayout<SrcChannels, Rgba32>(lookup, src, dst, count);
    }
}

}  // namespace

void FillGammaTable(float gamma, uint8_t* table) {
    if (!(gamma > 0.0f)) gamma = 1.0f;  // zero, negative and NaN count as 1
    const float exponent = 1.0f / gamma;
    // 256 entries take microseconds: threads would cost more than they save.
    for (int i = 0; i < 256; ++i) {
        const float base = (0.5f + static_cast<float>(i)) / 256.0f;
        const float value = 256.0f * powf(base, exponent) - 0.5f;
        table[i] = static_cast<uint8_t>(TruncateToInt(value) & 0xFF);
    }
}

void FillRangeTable(uint8_t* range) {
    for (int i = 0; i < 256; ++i)
        range[i] = static_cast<uint8_t>(i);
}

void CorrectPixels(const ColorLookup& lookup, const uint8_t* src, int srcChannels, uint8_t* dst,
                   PixelFormat format, size_t count) {
    if (!lookup || src == nullptr || dst == nullptr) return;
    if (lookup.packed != nullptr && srcChannels == 3) {
        // The layouts region reads ask for most often, four pixels at a time.
        if (format == PixelFormat::Bgr)
            return CorrectPacked3To3<Bgr24>(lookup.packed, src, dst, count);
        if (format == PixelFormat::Rgb)
            return CorrectPacked3To3<Rgb24>(lookup.packed, src, dst, count);
        if (format == PixelFormat::Rgba)
            return CorrectPacked3To4<Rgba32>(lookup.packed, src, dst, count);
        if (format == PixelFormat::Bgra)
            return CorrectPacked3To4<Bgra32>(lookup.packed, src, dst, count);
    }
    if (srcChannels == 3) return CorrectFrom<3>(lookup, src, dst, format, count);
    if (srcChannels == 4) return CorrectFrom<4>(lookup, src, dst, format, count);
}

void CorrectPixels(const ColorLookup& lookup, const uint8_t* src, int srcChannels, uint8_t* dst,
                   int dstChannels, size_t count) {
    if (dstChannels == 3 || dstChannels == 4)
        CorrectPixels(lookup, src, srcChannels, dst,
                      dstChannels == 3 ? PixelFormat::Bgr : PixelFormat::Bgra, count);
}

}  // namespace tarn
