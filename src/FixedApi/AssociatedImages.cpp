// The exported builders of associated-image records from a stream, and their disposers.
#include <cstdlib>

#include "Common/Status.h"
#include "Core/Associated.h"
#include "FixedApi/Handles.h"
#include "FixedApi/RecordViews.h"
#include "FixedApi/ZyCommon.h"

namespace tarn {
namespace {

// An image record from what the core built; the record takes over the bytes and pixels. A
// thumbnail's record keeps its colour space, and its channels unless the format is one the
// library decodes.
void FillRecord(AssociatedImage& image, ZyImageInfo* record, bool thumbnail) {
    if (image.why.loud) PrintLoud(image.why);
    record->Data = image.data;
    record->Pixels = image.pixels;
    record->Width = image.width;
    record->Height = image.height;
    if (!thumbnail || image.channels != 0) record->Channels = image.channels;
    record->DataFormat = image.dataFormat;
    if (!thumbnail) record->ColorSpace = image.colorSpace;
    record->DataSize = image.dataSize;
}

}  // namespace

void ReleaseMacroImages(ZyImageInfo** pair) {
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

void ReleaseThumbImage(ZyImageInfo* image) {
    if (image == nullptr) return;
    free(image->Data);
    free(image->Pixels);
    free(image);
}

}  // namespace tarn

using namespace tarn;

// Both builders report running out of memory as a short read, the status their readers use for it.
int ZyGetMacroImageInfo(FILE* stream, ZyImageInfo** pair) {
    if (pair == nullptr) return ZY_E_NULL;
    ZyMacrographInfo* records[macroNum] = {};
    unsigned char* payloads[macroNum] = {};
    int code = StreamMacroRecords(stream, records, payloads);
    // A file announcing one record gives a label without a macrograph (an empty slot 1).
    ZyImageInfo* images[macroNum] = {};
    for (int i = 0; code == ZY_OK && i < macroNum && records[i] != nullptr; ++i) {
        images[i] = static_cast<ZyImageInfo*>(calloc(1, sizeof(ZyImageInfo)));
        if (images[i] == nullptr) code = ZY_E_SHORT_READ;
    }
    if (code == ZY_OK) {
        const PinnedGlobalTable table;
        for (int i = 0; i < macroNum && records[i] != nullptr; ++i) {
            AssociatedImage image;
            BuildPairImage(AsCore(*records[i]), payloads[i], table.lookup(), &image);
            payloads[i] = nullptr;
            FillRecord(image, images[i], false);
            pair[i] = images[i];
            images[i] = nullptr;
        }
    }
    for (int i = 0; i < macroNum; ++i) {
        free(images[i]);
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
    const int code = StreamThumbnail(stream, &record, &width, &height, &data);
    if (code != ZY_OK) {
        free(data);
        return code;
    }
    const PinnedGlobalTable table;
    AssociatedImage image;
    BuildThumbnailImage(AsCore(record), static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                        data, table.lookup(), &image);
    FillRecord(image, thumb, true);
    return ZY_OK;
}

void DisposeMacroImageInfo(ZyImageInfo** pair) {
    ReleaseMacroImages(pair);
}

void DisposeThumbImageInfo(ZyImageInfo* image) {
    ReleaseThumbImage(image);
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
