// Tiles and regions handed to callers as new buffers or null.
#include <cstdlib>

#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/Handles.h"
#include "FixedApi/ZyCommon.h"
#include "Service/Reads.h"

using namespace tarn;

unsigned char* GetSliceJpeg(ZyTarnInfo* info, int layer, int column, int row, int* width,
                            int* height, int* size) {
    if (info == nullptr) return nullptr;
    unsigned char* jpeg = nullptr;
    int length = 0;
    const FixedRead read(info);
    if (TileJpeg(read, &jpeg, &length, layer, column, row) != ZY_OK) {
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
    if (TilePixels(info, &pixels, layer, column, row) != ZY_OK) {
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
    if (width > static_cast<int>(kMaxJpegSide) || height > static_cast<int>(kMaxJpegSide))
        return nullptr;
    if (info == nullptr) return nullptr;
    const FixedRead read(info);
    if (read.status() != ZY_OK ||
        CheckRegion(read.layout(), width, height, static_cast<unsigned>(x),
                    static_cast<unsigned>(y), layer) != ZY_OK)
        return nullptr;
    unsigned char* jpeg = nullptr;
    int length = 0;
    if (ExportJpeg(read.context(), static_cast<uint32_t>(layer), static_cast<uint32_t>(x),
                   static_cast<uint32_t>(y), static_cast<uint32_t>(width),
                   static_cast<uint32_t>(height), &jpeg, &length) != Status::Ok)
        return nullptr;
    if (size != nullptr) *size = length;
    return jpeg;
}

unsigned char* GetRoiSliceBgr(ZyTarnInfo* info, int layer, int x, int y, int width, int height) {
    if (info == nullptr) return nullptr;
    unsigned char* pixels = nullptr;
    const FixedRead read(info);
    if (RegionPixels(read, &pixels, width, height, static_cast<unsigned>(x),
                     static_cast<unsigned>(y), layer) != ZY_OK) {
        free(pixels);
        return nullptr;
    }
    return pixels;
}
