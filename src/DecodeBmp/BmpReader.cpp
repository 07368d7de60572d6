// BMP to packed blue-green-red pixels. A BMP stores its rows bottom-up, each padded to a multiple
// of 4 bytes, with 3 or 4 bytes per pixel in blue, green, red(, unused) order.
#include "DecodeBmp/BmpReader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Common/FileRecords.h"

namespace tarn {
namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kPixelArrayOffset = kFileHeaderSize + kInfoHeaderSize;

uint16_t ReadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Stored row length: the pixel bytes rounded up to a multiple of 4.
uint64_t StoredRowLength(uint64_t bytesPerPixel, uint64_t width) {
    return (bytesPerPixel * width + 3) & ~uint64_t{3};
}

// Output row y is stored row (height - 1 - y); the first three bytes of each stored pixel are
// blue, green, red.
void CopyBottomUpRows(const uint8_t* array, size_t rowLength, uint32_t bytesPerPixel,
                      uint32_t width, uint32_t height, uint8_t* out) {
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* src = array + rowLength * (height - 1 - y);
        uint8_t* dst = out + static_cast<size_t>(y) * width * 3;
        if (bytesPerPixel == 3) {
            std::memcpy(dst, src, static_cast<size_t>(width) * 3);
            continue;
        }
        for (uint32_t x = 0; x < width; ++x, src += bytesPerPixel, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    }
}

}  // namespace

bool ReadBmpBgr(const uint8_t* data, size_t length, uint32_t expectedWidth, uint32_t expectedHeight,
                uint8_t** pixels) {
    if (data == nullptr || pixels == nullptr || length < kPixelArrayOffset) return false;
    const uint8_t* info = data + kFileHeaderSize;
    const uint32_t infoSize = ReadLe32(info);
    const int32_t width = static_cast<int32_t>(ReadLe32(info + 4));
    const int32_t height = static_cast<int32_t>(ReadLe32(info + 8));  // negative: top-down
    const uint16_t bitCount = ReadLe16(info + 14);
    const uint32_t compression = ReadLe32(info + 16);

    // Like the exported reader, the file header is not consulted: the pixel array follows the
    // information header, which with the usual 40 bytes puts it at byte 54.
    if (infoSize < kInfoHeaderSize) return false;
    const uint64_t arrayOffset = kFileHeaderSize + uint64_t{infoSize};
    if (compression != 0 || (bitCount != 24 && bitCount != 32)) return false;
    if (width <= 0 || height <= 0) return false;
    if (static_cast<uint32_t>(width) != expectedWidth ||
        static_cast<uint32_t>(height) != expectedHeight)
        return false;

    // The rows must lie within the data; the last one may lack its padding. This also bounds the
    // output by the input size.
    const uint32_t bytesPerPixel = bitCount / 8;
    const uint64_t rowLength = StoredRowLength(bytesPerPixel, expectedWidth);
    const uint64_t lastRow = arrayOffset + uint64_t{bytesPerPixel} * expectedWidth;
    uint64_t arrayEnd = 0;
    if (__builtin_mul_overflow(rowLength, uint64_t{expectedHeight - 1}, &arrayEnd) ||
        __builtin_add_overflow(arrayEnd, lastRow, &arrayEnd) || arrayEnd > length)
        return false;

    uint8_t* out =
        static_cast<uint8_t*>(std::malloc(static_cast<size_t>(expectedWidth) * expectedHeight * 3));
    if (out == nullptr) return false;
    CopyBottomUpRows(data + arrayOffset, rowLength, bytesPerPixel, expectedWidth, expectedHeight,
                     out);
    *pixels = out;
    return true;
}

// Trusts the header as documented (there is no length to check against), but refuses headers
// whose sizes would overflow the 32-bit arithmetic of the layout or whose bit depth gives fewer
// than 3 bytes per pixel: then the 3 bytes read per pixel would run past the stored rows.
unsigned char* ReadBmpAsDocumented(const unsigned char* bmpData, BmpHeader* bmpInfo) {
    if (bmpData == nullptr || bmpInfo == nullptr) return nullptr;
    std::memcpy(bmpInfo, bmpData + kFileHeaderSize, kInfoHeaderSize);

    const uint32_t bytesPerPixel = bmpInfo->biBitCount / 8u;
    if (bytesPerPixel < 3) return nullptr;
    const uint64_t width = static_cast<uint32_t>(bmpInfo->biWidth);
    const uint64_t height = static_cast<uint32_t>(bmpInfo->biHeight);
    const uint64_t rowLength = StoredRowLength(bytesPerPixel, width);
    const uint64_t pixelCount = width * height;  // both below 2^32: no 64-bit overflow
    if (pixelCount > UINT32_MAX / 3 || rowLength > UINT32_MAX ||
        kPixelArrayOffset + rowLength * height > UINT32_MAX)
        return nullptr;

    // An image without pixels is an empty buffer; its rows, possibly billions, need no visit.
    unsigned char* out =
        static_cast<unsigned char*>(std::malloc(pixelCount > 0 ? pixelCount * 3 : 1));
    if (out == nullptr || pixelCount == 0) return out;
    CopyBottomUpRows(bmpData + kPixelArrayOffset, rowLength, bytesPerPixel,
                     static_cast<uint32_t>(width), static_cast<uint32_t>(height), out);
    return out;
}

}  // namespace tarn
