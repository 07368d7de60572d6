#include "DecodeTarn/TileAccess.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "DecodeHevc/HevcDecoder.h"

namespace tarn {
namespace {

// Opens the slide file for one read and checks that [offset, offset + size) lies inside it.
int OpenForTile(const char* path, const StoredTile& tile) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat status {};
    const uint64_t size = static_cast<uint64_t>(tile.size);
    if (fstat(fd, &status) != 0 || tile.offset > static_cast<uint64_t>(status.st_size) ||
        size > static_cast<uint64_t>(status.st_size) - tile.offset) {
        close(fd);
        return -1;
    }
    return fd;
}

bool ReadAll(int fd, uint64_t offset, uint8_t* out, size_t size) {
    while (size > 0) {
        const ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
        if (n <= 0) return false;
        out += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Per-thread buffers of the tile path: stored bytes and decoded pixels of the tile in hand. What
// usual tiles need is kept between reads; more is given back after the tile.
struct TileScratch {
    ByteBuffer bytes;
    ByteBuffer pixels;
};
constexpr size_t kKeptScratchBytes = size_t{16} << 20;

TileScratch& Scratch() {
    thread_local TileScratch scratch;
    return scratch;
}

int DrawJpegTile(const ZyTarnInfo* info, const ColorLookup& colors, const uint8_t* bytes,
                 size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride) {
    const uint32_t width = info->PicHead->TileWidth, height = info->PicHead->TileHeight;
    const size_t stride = size_t{width} * 3;
    ByteBuffer& pixels = Scratch().pixels;
    if (!pixels.Reserve(stride * height)) return ZY_E_DECODE;
    const bool decoded = DecodeJpegBgr(bytes, size, width, height, part, pixels.data(), stride);
    if (decoded)
        for (uint32_t row = 0; row < part.height; ++row)
            CorrectPixels(colors, pixels.data() + (part.y + row) * stride + size_t{part.x} * 3, 3,
                          dst + row * dstStride, 3, part.width);
    pixels.Shrink(kKeptScratchBytes);
    return decoded ? ZY_OK : ZY_E_DECODE;
}

int DrawHevcTile(const ZyTarnInfo* info, const ColorLookup& colors, const uint8_t* bytes,
                 size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride) {
    YuvView picture;
    if (!DecodeHevcPicture(bytes, size, static_cast<int>(info->PicHead->TileWidth),
                           static_cast<int>(info->PicHead->TileHeight), &picture))
        return ZY_E_DECODE;
    ConvertYuvRect(picture, colors, static_cast<int>(part.x), static_cast<int>(part.y),
                   static_cast<int>(part.width), static_cast<int>(part.height), CS_BGR24, dst,
                   dstStride);
    return ZY_OK;
}

}  // namespace

bool HandleComplete(const ZyTarnInfo* info) {
    return info != nullptr && info->Path != nullptr && info->PicHead != nullptr &&
           info->SliceInfos != nullptr && info->PicInfos != nullptr;
}

bool LayerInRange(const ZyTarnInfo* info, int layer) {
    return static_cast<uint32_t>(layer) < info->PicHead->Layer;
}

StoredTile TileAt(const ZyTarnInfo* info, uint32_t layer, uint32_t x, uint32_t y) {
    const ZySliceInfo& slice = *info->SliceInfos[layer];
    const size_t index = size_t{y} * info->PicInfos[layer]->XCount + x;
    return {slice.Offsets[index], static_cast<int32_t>(slice.Sizes[index])};
}

bool ByteBuffer::Reserve(size_t size) {
    if (size <= capacity_) return true;
    free(data_);
    data_ = static_cast<uint8_t*>(malloc(size));
    capacity_ = data_ != nullptr ? size : 0;
    return data_ != nullptr;
}

void ByteBuffer::Shrink(size_t keep) {
    if (capacity_ <= keep) return;
    free(data_);
    data_ = nullptr;
    capacity_ = 0;
}

int ReadStoredTile(const char* path, const StoredTile& tile, ByteBuffer* bytes) {
    const int fd = OpenForTile(path, tile);
    if (fd < 0) return ZY_E_SHORT_READ;
    const size_t size = static_cast<size_t>(tile.size);
    const bool ok = bytes->Reserve(size) && ReadAll(fd, tile.offset, bytes->data(), size);
    close(fd);
    return ok ? ZY_OK : ZY_E_SHORT_READ;
}

int ReadStoredTile(const char* path, const StoredTile& tile, unsigned char** bytes) {
    const int fd = OpenForTile(path, tile);
    if (fd < 0) return ZY_E_SHORT_READ;
    auto* buffer = static_cast<unsigned char*>(malloc(static_cast<size_t>(tile.size)));
    const bool ok =
        buffer != nullptr && ReadAll(fd, tile.offset, buffer, static_cast<size_t>(tile.size));
    close(fd);
    if (!ok) {
        free(buffer);
        return ZY_E_SHORT_READ;
    }
    *bytes = buffer;
    return ZY_OK;
}

int DrawTile(const ZyTarnInfo* info, const ColorLookup& colors, uint32_t layer, uint32_t x,
             uint32_t y, const PixelRect& part, uint8_t* dst, size_t dstStride) {
    const uint32_t compression = info->PicHead->CompressionType;
    if (compression != ZY_COMPRESSION_JPEG && compression != ZY_COMPRESSION_HEVC)
        return ZY_E_DECODE;
    const StoredTile tile = TileAt(info, layer, x, y);
    if (tile.empty()) {
        FillWhite(dst, dstStride, part.width, part.height);
        return ZY_OK;
    }
    ByteBuffer& bytes = Scratch().bytes;
    int code = ReadStoredTile(info->Path, tile, &bytes);
    if (code == ZY_OK)
        code = DrawStoredTile(info, colors, bytes.data(), static_cast<size_t>(tile.size), part, dst,
                              dstStride);
    bytes.Shrink(kKeptScratchBytes);
    return code;
}

int DrawStoredTile(const ZyTarnInfo* info, const ColorLookup& colors, const uint8_t* bytes,
                   size_t size, const PixelRect& part, uint8_t* dst, size_t dstStride) {
    // Without a table there are no corrected pixels to give, and nothing would be written.
    if (!colors) return ZY_E_DECODE;
    switch (info->PicHead->CompressionType) {
        case ZY_COMPRESSION_JPEG:
            return DrawJpegTile(info, colors, bytes, size, part, dst, dstStride);
        case ZY_COMPRESSION_HEVC:
            return DrawHevcTile(info, colors, bytes, size, part, dst, dstStride);
        default:
            return ZY_E_DECODE;
    }
}

void* AllocatePixels(size_t bytes) {
    constexpr size_t kHugePage = size_t{2} << 20;
    void* pixels = malloc(bytes);
    if (pixels == nullptr || bytes < 4 * kHugePage) return pixels;
    const uintptr_t start = reinterpret_cast<uintptr_t>(pixels);
    const size_t head = (kHugePage - start % kHugePage) % kHugePage;
    const size_t span = (bytes - head) / kHugePage * kHugePage;
    madvise(static_cast<uint8_t*>(pixels) + head, span, MADV_HUGEPAGE);
    return pixels;
}

void FillWhite(uint8_t* dst, size_t dstStride, uint32_t width, uint32_t height) {
    for (uint32_t row = 0; row < height; ++row)
        memset(dst + row * dstStride, 0xFF, size_t{width} * 3);
}

}  // namespace tarn
