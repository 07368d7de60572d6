// Associated images are decoded once, when a slide opens, and only when the decoded picture has
// exactly the size its record announces: an image is never handed out with the wrong size.
#include "DecodeTarn/AssociatedImages.h"

#include <cstdint>
#include <cstdlib>

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

void FreeMacroSlots(ZyMacrographInfo** records, unsigned char** jpegs) {
    for (int i = 0; i < macroNum; ++i) {
        free(records[i]);
        free(jpegs[i]);
        records[i] = nullptr;
        jpegs[i] = nullptr;
    }
}

}  // namespace

int ReadMacroImages(FILE* stream, ZyImageInfo** pair, const ColorLookup& lookup) {
    if (pair == nullptr) return ZY_E_NULL;
    ZyMacrographInfo* records[macroNum] = {};
    unsigned char* jpegs[macroNum] = {};
    const int code = ZyGetMacrographInfoAndJpeg(stream, records, jpegs);
    if (code != ZY_OK) {
        FreeMacroSlots(records, jpegs);
        return code;
    }

    // A file announcing one record gives a label without a macrograph (an empty slot 1).
    ZyImageInfo* images[macroNum] = {};
    for (int i = 0; i < macroNum; ++i) {
        if (records[i] == nullptr) continue;
        images[i] = static_cast<ZyImageInfo*>(calloc(1, sizeof(ZyImageInfo)));
        if (images[i] == nullptr) {
            for (ZyImageInfo* image : images)
                free(image);
            FreeMacroSlots(records, jpegs);
            return ZY_E_NULL;
        }
    }
    for (int i = 0; i < macroNum; ++i) {
        if (images[i] == nullptr) continue;
        ZyImageInfo& image = *images[i];
        const ZyMacrographInfo& record = *records[i];
        image.Data = jpegs[i];
        jpegs[i] = nullptr;
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
    FreeMacroSlots(records, jpegs);
    return ZY_OK;
}

int ReadThumbImage(FILE* stream, ZyImageInfo* thumb, const ColorLookup& lookup) {
    if (thumb == nullptr) return ZY_E_NULL;
    auto* record = static_cast<ZyPicInfo*>(calloc(1, sizeof(ZyPicInfo)));
    if (record == nullptr) return ZY_E_NULL;
    int width = 0, height = 0;
    unsigned char* data = nullptr;
    const int code = ZyGetThumbnailInfoAndJpeg(stream, record, &width, &height, &data);
    if (code != ZY_OK) {
        DisposeThumbnailInfo(record, data);
        return code;
    }

    const auto thumbWidth = static_cast<uint32_t>(width);
    const auto thumbHeight = static_cast<uint32_t>(height);
    thumb->Data = data;
    thumb->DataFormat = record->DataFormat;
    if (record->DataFormat == ZY_FORMAT_JPEG) {
        thumb->Pixels = DecodeJpegImage(data, record->DataSize, thumbWidth, thumbHeight, lookup);
        thumb->Channels = 3;
    } else if (record->DataFormat == ZY_FORMAT_BMP) {
        // BMP pixels are shown as stored: they do not pass through the colour table.
        if (PlausibleSize(thumbWidth, thumbHeight))
            ReadBmpBgr(data, record->DataSize, thumbWidth, thumbHeight, &thumb->Pixels);
        thumb->Channels = 3;
    }
    thumb->Width = thumbWidth;
    thumb->Height = thumbHeight;
    thumb->DataSize = KeptDataSize(record->DataSize);
    free(record);
    return ZY_OK;
}

}  // namespace tarn

int ZyGetMacroImageInfo(FILE* stream, ZyImageInfo** pair) {
    const tarn::PinnedGlobalTable table;
    return tarn::ReadMacroImages(stream, pair, table.lookup());
}

int ZyGetThumbImageInfo(FILE* stream, ZyImageInfo* thumb) {
    const tarn::PinnedGlobalTable table;
    return tarn::ReadThumbImage(stream, thumb, table.lookup());
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
