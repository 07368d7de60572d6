#include "Core/Associated.h"

#include <cstdlib>

#include "DecodeJpeg/JpegCodec.h"
#include "DecodeBmp/BmpReader.h"

namespace tarn {
namespace {

// Associated images are small; a record announcing more is damaged, and decoding it would only
// spend time and memory on garbage.
constexpr uint64_t kMaxImageBytes = uint64_t{1} << 28;

bool PlausibleSize(uint32_t width, uint32_t height) {
    return width > 0 && height > 0 && uint64_t{width} * height * 3 <= kMaxImageBytes;
}

}  // namespace

int32_t KeptDataSize(uint64_t size) {
    return size <= INT32_MAX ? static_cast<int32_t>(size) : -1;
}

unsigned char* DecodeAssociatedPixels(uint32_t dataFormat, const unsigned char* data, uint64_t size,
                                      uint32_t width, uint32_t height, const ColorLookup& lookup,
                                      Error* why) {
    if (data == nullptr || !PlausibleSize(width, height)) return nullptr;
    unsigned char* pixels = nullptr;
    if (dataFormat == kStoredJpeg) {
        DecodeJpegCorrected(data, size, JCS_EXT_BGR, lookup, width, height, &pixels, why);
    } else if (dataFormat == kStoredBmp) {
        // BMP pixels are shown as stored: they do not pass through the colour table.
        ReadBmpBgr(data, size, width, height, &pixels);
    }
    return pixels;
}

void BuildPairImage(const MacroRecord& record, unsigned char* data, const ColorLookup& lookup,
                    AssociatedImage* image) {
    image->present = true;
    image->data = data;
    image->dataFormat = kStoredJpeg;
    image->colorSpace = JCS_EXT_BGR;
    image->pixels = DecodeAssociatedPixels(kStoredJpeg, data, record.DataSize, record.Width,
                                           record.Height, lookup, &image->why);
    image->width = record.Width;
    image->height = record.Height;
    image->channels = record.Channels;
    image->dataSize = KeptDataSize(record.DataSize);
}

void BuildThumbnailImage(const PictureRecord& record, uint32_t width, uint32_t height,
                         unsigned char* data, const ColorLookup& lookup, AssociatedImage* image) {
    image->present = true;
    image->data = data;
    image->dataFormat = record.DataFormat;
    image->pixels = DecodeAssociatedPixels(record.DataFormat, data, record.DataSize, width, height,
                                           lookup, &image->why);
    if (record.DataFormat == kStoredJpeg || record.DataFormat == kStoredBmp) image->channels = 3;
    image->width = width;
    image->height = height;
    image->dataSize = KeptDataSize(record.DataSize);
}

void ReleaseAssociatedImage(AssociatedImage* image) {
    free(image->data);
    free(image->pixels);
    *image = AssociatedImage{};
}

}  // namespace tarn
