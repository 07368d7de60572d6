// Associated images are decoded once, when a slide opens, and only when the decoded picture has
// exactly the size its record announces: an image is never handed out with the wrong size.
#include "DecodeTarn/AssociatedImages.h"

#include <cstdlib>

#include "Common/Status.h"
#include "DecodeJpeg/JpegCodec.h"
#include "DecodeTarn/ZyCommon.h"
#include "bmp/BmpReader.h"

namespace tarn {
namespace {

// Associated images are small; a record announcing more is damaged, and decoding it would only
// spend time and memory on garbage.
constexpr uint64_t kMaxImageBytes = uint64_t{1} << 28;

// The stored byte count as the image keeps it. One that does not fit is -1, so that the stored
// bytes are never handed out cut to the low 32 bits of their count.
int32_t KeptDataSize(uint64_t size) {
    return size <= INT32_MAX ? static_cast<int32_t>(size) : -1;
}

bool PlausibleSize(uint32_t width, uint32_t height) {
    return width > 0 && height > 0 && uint64_t{width} * height * 3 <= kMaxImageBytes;
}

// Pixels of a JPEG that must be width x height, corrected through `lookup`; null when it does
// not decode, has another size, or no table exists.
unsigned char* DecodeJpegImage(const unsigned char* data, uint64_t size, uint32_t width,
                               uint32_t height, const ColorLookup& lookup) {
    if (data == nullptr || !PlausibleSize(width, height)) return nullptr;
    unsigned char* pixels = nullptr;
    DecodeJpegCorrected(data, size, JCS_EXT_BGR, lookup, width, height, &pixels);
    return pixels;
}

}  // namespace

int BuildMacroImages(const ZyMacrographInfo* records, unsigned char** payloads, uint32_t count,
                     ZyImageInfo** pair, const ColorLookup& lookup) {
    // A file announcing one record gives a label without a macrograph (an empty slot 1).
    ZyImageInfo* images[macroNum] = {};
    for (uint32_t i = 0; i < count; ++i) {
        images[i] = static_cast<ZyImageInfo*>(calloc(1, sizeof(ZyImageInfo)));
        if (images[i] == nullptr) {
            for (ZyImageInfo* image : images)
                free(image);
            return kNoMemory;
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        ZyImageInfo& image = *images[i];
        const ZyMacrographInfo& record = records[i];
        image.Data = payloads[i];
        payloads[i] = nullptr;
        image.DataFormat = ZY_FORMAT_JPEG;
        image.ColorSpace = JCS_EXT_BGR;
        image.Pixels =
            DecodeJpegImage(image.Data, record.DataSize, record.Width, record.Height, lookup);
        image.Width = record.Width;
        image.Height = record.Height;
        image.Channels = record.Channels;
        image.DataSize = KeptDataSize(record.DataSize);
        pair[i] = images[i];
    }
    return ZY_OK;
}

void BuildThumbImage(const ZyPicInfo& record, uint32_t width, uint32_t height, unsigned char* data,
                     ZyImageInfo* thumb, const ColorLookup& lookup) {
    thumb->Data = data;
    thumb->DataFormat = record.DataFormat;
    if (record.DataFormat == ZY_FORMAT_JPEG) {
        thumb->Pixels = DecodeJpegImage(data, record.DataSize, width, height, lookup);
        thumb->Channels = 3;
    } else if (record.DataFormat == ZY_FORMAT_BMP) {
        // BMP pixels are shown as stored: they do not pass through the colour table.
        if (PlausibleSize(width, height))
            ReadBmpBgr(data, record.DataSize, width, height, &thumb->Pixels);
        thumb->Channels = 3;
    }
    thumb->Width = width;
    thumb->Height = height;
    thumb->DataSize = KeptDataSize(record.DataSize);
}

}  // namespace tarn

using namespace tarn;

// Both builders report running out of memory as a short read, the status their readers use for it.
int ZyGetMacroImageInfo(FILE* stream, ZyImageInfo** pair) {
    if (pair == nullptr) return ZY_E_NULL;
    ZyMacrographInfo* records[macroNum] = {};
    unsigned char* payloads[macroNum] = {};
    int code = ZyGetMacrographInfoAndJpeg(stream, records, payloads);
    if (code == ZY_OK) {
        ZyMacrographInfo read[macroNum] = {};
        uint32_t count = 0;
        for (; count < static_cast<uint32_t>(macroNum) && records[count] != nullptr; ++count)
            read[count] = *records[count];
        const PinnedGlobalTable table;
        code = FoldStatus(BuildMacroImages(read, payloads, count, pair, table.lookup()), ZY_OK,
                          ZY_E_SHORT_READ);
    }
    for (int i = 0; i < macroNum; ++i) {
        free(records[i]);
        free(payloads[i]);
    }
    return code;
}

int ZyGetThumbImageInfo(FILE* stream, ZyImageInfo* thumb) {
    if (thumb == nullptr) return ZY_E_NULL;
    ZyPicInfo record{};
    int width = 0, height = 0;
    unsigned char* data = nullptr;
    const int code = ZyGetThumbnailInfoAndJpeg(stream, &record, &width, &height, &data);
    if (code != ZY_OK) {
        free(data);
        return code;
    }
    const PinnedGlobalTable table;
    BuildThumbImage(record, static_cast<uint32_t>(width), static_cast<uint32_t>(height), data,
                    thumb, table.lookup());
    return ZY_OK;
}

void DisposeMacroImageInfo(ZyImageInfo** pair) {
    if (pair == nullptr) return;
    for (int i = 0; i < macroNum; ++i) {
        if (pair[i] == nullptr) continue;
        free(pair[i]->Data);
        free(pair[i]->Pixels);
        free(pair[i]);
        pair[i] = nullptr;
    }
    free(pair);
}

void DisposeThumbImageInfo(ZyImageInfo* image) {
    if (image == nullptr) return;
    free(image->Data);
    free(image->Pixels);
    free(image);
}

void DisposeThumbnailInfo(ZyPicInfo* thumb, unsigned char* data) {
    free(thumb);
    free(data);
}

void DisposeMacrographInfo(ZyMacrographInfo** records, unsigned char** jpegs) {
    if (records != nullptr) {
        for (int i = 0; i < macroNum; ++i) {
            free(records[i]);
            records[i] = nullptr;
        }
        free(records);
    }
    if (jpegs != nullptr) {
        for (int i = 0; i < macroNum; ++i) {
            free(jpegs[i]);
            jpegs[i] = nullptr;
        }
        free(jpegs);
    }
}
