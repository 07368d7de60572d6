// The colour functions and the colour table as the fixed interface exports them, over the colour
// module: the global `ColorTable`, tables in the documented layout of separate blocks (a caller's
// tables are released block by block), and the RGB/HSV conversions.
#include <cstdlib>

#include "ColorCorrect/ColorChain.h"
#include "ColorCorrect/ColorLut.h"
#include "ColorCorrect/ColorTables.h"
#include "DecodeTarnCxx.h"
#include "FixedApi/RecordViews.h"

ColorCorrectTable* ColorTable = nullptr;

namespace tarn {

// The colour module publishes its tables through the exported global, seen as its own type.
PlaneTable* PublishedTable() {
    return AsCore(ColorTable);
}

void SetPublishedTable(PlaneTable* table) {
    ColorTable = AsFixed(table);
}

}  // namespace tarn

namespace {

// Frees a table in the documented layout, skipping whatever is null.
void FreeSeparateBlocks(ColorCorrectTable* table) {
    for (int r = 0; r < 256; ++r) {
        for (int g = 0; g < 256; ++g)
            for (int c = 0; c < 3; ++c)
                if (table->plane[c] != nullptr && table->plane[c][r] != nullptr)
                    free(table->plane[c][r][g]);
        for (int c = 0; c < 3; ++c)
            if (table->plane[c] != nullptr) free(table->plane[c][r]);
    }
    for (int c = 0; c < 3; ++c)
        free(table->plane[c]);
    free(table);
}

}  // namespace

using namespace tarn;

int InitColorCollectTable(ZyTarnInfo* slide) {
    if (slide == nullptr) return ZY_E_CODEC;
    const ColorLut* lut = AcquireColorLut(ColorParamsOf(AsCore(slide->ExtraInfo)));
    // Out of memory leaves no table at all rather than an older slide's one.
    PublishColorTable(lut);
    ReleaseColorLut(lut);
    return lut != nullptr ? ZY_OK : ZY_E_CODEC;
}

// The documented layout: every array and row a block of its own, allocated header first, then
// the three top arrays, then per red value its three green arrays and, per green value, the
// red, green and blue rows. Null when memory runs out, with nothing left allocated.
ColorCorrectTable* MallocColorCorrectTable() {
    auto* table = static_cast<ColorCorrectTable*>(calloc(1, sizeof(ColorCorrectTable)));
    if (table == nullptr) return nullptr;
    bool ok = true;
    for (int c = 0; c < 3 && ok; ++c) {
        table->plane[c] = static_cast<unsigned char***>(calloc(256, sizeof(unsigned char**)));
        ok = table->plane[c] != nullptr;
    }
    for (int r = 0; r < 256 && ok; ++r) {
        for (int c = 0; c < 3 && ok; ++c) {
            table->plane[c][r] = static_cast<unsigned char**>(calloc(256, sizeof(unsigned char*)));
            ok = table->plane[c][r] != nullptr;
        }
        for (int g = 0; g < 256 && ok; ++g) {
            for (int c = 0; c < 3 && ok; ++c) {
                table->plane[c][r][g] = static_cast<unsigned char*>(malloc(256));
                ok = table->plane[c][r][g] != nullptr;
            }
        }
    }
    if (!ok) {
        FreeSeparateBlocks(table);
        return nullptr;
    }
    FillRangeTable(table->range);
    return table;
}

void InitColorRangeTable(unsigned char* range) {
    if (range != nullptr) FillRangeTable(range);
}

void GammaTableInit(float gamma, unsigned char* table) {
    if (table != nullptr) FillGammaTable(gamma, table);
}

unsigned char* RgbColorCorrect(unsigned char* pixels, int width, int height, int channels) {
    if (pixels == nullptr || width < 1 || height < 1 || (channels != 3 && channels != 4))
        return nullptr;
    size_t count = 0, bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(width), static_cast<size_t>(height), &count) ||
        __builtin_mul_overflow(count, static_cast<size_t>(channels), &bytes))
        return nullptr;
    const PinnedGlobalTable pin;
    if (!pin.lookup()) return nullptr;
    auto* out = static_cast<unsigned char*>(malloc(bytes));
    if (out == nullptr) return nullptr;
    CorrectPixels(pin.lookup(), pixels, channels, out, channels, count);
    return out;
}

void DisposeColorCorrectTable(ColorCorrectTable* table) {
    if (table == nullptr) return;
    // A library table is shared with open slides and the cache: only the global reference goes.
    if (DropGlobalReferenceTo(AsCore(table))) return;
    FreeSeparateBlocks(table);
}

float ReturnMax(float a, float b, float c) {
    return TolerantMax(a, b, c);
}

float ReturnMin(float a, float b, float c) {
    return TolerantMin(a, b, c);
}

int ScalarRgb(unsigned char x, float factor) {
    return ScaleByte(x, factor);
}

void Rgb2Hsv(unsigned char* rgb, float* scale, float* hsv) {
    if (rgb != nullptr && scale != nullptr && hsv != nullptr) RgbToHsv(rgb, scale, hsv);
}

void Hsv2Rgb(float* hsv, float* scale, unsigned char* rgb) {
    if (hsv != nullptr && scale != nullptr && rgb != nullptr) HsvToRgb(hsv, scale, rgb);
}
