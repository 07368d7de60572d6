// Tiles and regions handed to callers as new buffers or null.
#include <cstdlib>

#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/ZyCommon.h"

unsigned char* GetSliceJpeg(ZyTarnInfo* info, int layer, int column, int row, int* width,
                            int* height, int* size) {
    if (info == nullptr) return nullptr;
    unsigned char* jpeg = nullptr;
    int length = 0;
    if (ZyGetJpegSliceOfSpecifyLayer(info, &jpeg, &length, layer, column, row) != ZY_OK) {
        free(jpeg);
        return nullptr;
    }
    if (size != nullptr) *size = length;
    if (width != nullptr) *width = static_cast<int>(info->PicHead->TileWidth);
    if (height != nullptr) *height = static_cast<int>(info->PicHead->TileHeight);
    return jpeg;
}

unsigned char* GetSliceBgr(ZyTarnInfo* info, int layer, int column, int row, int* width,
                           int* height) {
    if (info == nullptr) return nullptr;
    unsigned char* pixels = nullptr;
    if (ZyGetRgbSliceOfSpecifyLayer(info, &pixels, layer, column, row) != ZY_OK) {
        free(pixels);
        return nullptr;
    }
    if (width != nullptr) *width = static_cast<int>(info->PicHead->TileWidth);
    if (height != nullptr) *height = static_cast<int>(info->PicHead->TileHeight);
    return pixels;
}

unsigned char* GetRoiSliceJpeg(ZyTarnInfo* info, int layer, int x, int y, int width, int height,
                               int* size) {
    // A region no JPEG can hold is refused before its tiles are decoded.
    if (width > static_cast<int>(tarn::kMaxJpegSide) ||
        height > static_cast<int>(tarn::kMaxJpegSide))
        return nullptr;
    unsigned char* pixels = GetRoiSliceBgr(info, layer, x, y, width, height);
    if (pixels == nullptr) return nullptr;
    unsigned char* jpeg = nullptr;
    const int length = tarn::EncodeJpegBgr(pixels, static_cast<uint32_t>(width),
                                           static_cast<uint32_t>(height), 75, &jpeg);
    free(pixels);
    if (length <= 0) {
        free(jpeg);
        return nullptr;
    }
    if (size != nullptr) *size = length;
    return jpeg;
}

unsigned char* GetRoiSliceBgr(ZyTarnInfo* info, int layer, int x, int y, int width, int height) {
    if (info == nullptr) return nullptr;
    unsigned char* pixels = nullptr;
    if (ZyGetRoiRgbOfSpecifyLayer(info, &pixels, width, height, static_cast<unsigned>(x),
                                  static_cast<unsigned>(y), layer) != ZY_OK) {
        free(pixels);
        return nullptr;
    }
    return pixels;
}
