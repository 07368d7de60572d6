// The label, macrograph and thumbnail handed to callers as JPEG bytes or 4-byte pixels.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/ZyCommon.h"

namespace {

// Blue, green and red are copied; the fourth byte is 255 (opaque), as in every other 4-byte
// pixel the library writes.
void AddOpaqueAlpha(unsigned char* source, int width, int height, unsigned char* destination) {
    if (source == nullptr || destination == nullptr || width <= 0 || height <= 0) return;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < pixels; ++i) {
        destination[4 * i] = source[3 * i];
        destination[4 * i + 1] = source[3 * i + 1];
        destination[4 * i + 2] = source[3 * i + 2];
        destination[4 * i + 3] = 0xFF;
    }
}

// Slot 0 (label) or 1 (macrograph) of the pair; null for a slide without one.
const ZyImageInfo* PairImage(const ZyTarnInfo* info, int slot) {
    if (info == nullptr || info->MacroImages == nullptr) return nullptr;
    return info->MacroImages[slot];
}

bool HasPixels(const ZyImageInfo* image) {
    return image != nullptr && image->Pixels != nullptr && image->Width > 0 && image->Height > 0;
}

unsigned char* CopyStoredJpeg(const ZyImageInfo* image, int* width, int* height, int* size) {
    if (image == nullptr || image->Data == nullptr || image->DataSize < 0) return nullptr;
    auto* copy = static_cast<unsigned char*>(malloc(image->DataSize > 0 ? image->DataSize : 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, image->Data, static_cast<size_t>(image->DataSize));
    if (width != nullptr) *width = static_cast<int>(image->Width);
    if (height != nullptr) *height = static_cast<int>(image->Height);
    if (size != nullptr) *size = image->DataSize;
    return copy;
}

unsigned char* FourBytePixels(const ZyImageInfo* image, int* width, int* height) {
    if (!HasPixels(image)) return nullptr;
    const uint64_t bytes = uint64_t{image->Width} * image->Height * 4;
    if (image->Width > INT_MAX || image->Height > INT_MAX || bytes > INT_MAX) return nullptr;
    auto* out = static_cast<unsigned char*>(malloc(bytes));
    if (out == nullptr) return nullptr;
    AddOpaqueAlpha(image->Pixels, static_cast<int>(image->Width), static_cast<int>(image->Height),
                   out);
    if (width != nullptr) *width = static_cast<int>(image->Width);
    if (height != nullptr) *height = static_cast<int>(image->Height);
    return out;
}

}  // namespace

unsigned char* GetThumbnailJpeg(ZyTarnInfo* info, int* width, int* height, int* size) {
    if (info == nullptr || !HasPixels(info->ThumbImage)) return nullptr;
    const ZyImageInfo& thumb = *info->ThumbImage;
    unsigned char* jpeg = nullptr;
    const int length = tarn::EncodeJpegBgr(thumb.Pixels, thumb.Width, thumb.Height, 75, &jpeg);
    if (length <= 0) {
        free(jpeg);
        if (width != nullptr) *width = 0;
        if (height != nullptr) *height = 0;
        if (size != nullptr) *size = 0;
        return nullptr;
    }
    if (width != nullptr) *width = static_cast<int>(thumb.Width);
    if (height != nullptr) *height = static_cast<int>(thumb.Height);
    if (size != nullptr) *size = length;
    return jpeg;
}

unsigned char* GetThumbnailAbgr(ZyTarnInfo* info, int* width, int* height) {
    return info != nullptr ? FourBytePixels(info->ThumbImage, width, height) : nullptr;
}

unsigned char* GetLabelJpeg(ZyTarnInfo* info, int* width, int* height, int* size) {
    return CopyStoredJpeg(PairImage(info, 0), width, height, size);
}

unsigned char* GetLabelAbgr(ZyTarnInfo* info, int* width, int* height) {
    return FourBytePixels(PairImage(info, 0), width, height);
}

unsigned char* GetMacrographJpeg(ZyTarnInfo* info, int* width, int* height, int* size) {
    return CopyStoredJpeg(PairImage(info, 1), width, height, size);
}

unsigned char* GetMacrographAbgr(ZyTarnInfo* info, int* width, int* height) {
    return FourBytePixels(PairImage(info, 1), width, height);
}

void Bgr2Argb(unsigned char* source, int width, int height, unsigned char* destination) {
    AddOpaqueAlpha(source, width, height, destination);
}
