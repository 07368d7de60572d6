// One stored tile as bytes: the JPEG a viewer can show (stored, transcoded from HEVC, or white
// for a tile the file does not hold), or the stored bytes as they are.
#include <cstdlib>
#include <cstring>

#include "DecodeHevc/HevcDecoder.h"
#include "DecodeTarn/SlideColors.h"
#include "DecodeTarn/TileAccess.h"

namespace tarn {
namespace {

int CheckTileAddress(const ZyTarnInfo* info, int layer, int x, int y) {
    if (!HandleComplete(info)) return ZY_E_NULL;
    if (!LayerInRange(info, layer)) return ZY_E_LAYER;
    const ZyPicInfo& record = *info->PicInfos[layer];
    if (x < 0 || y < 0 || static_cast<uint32_t>(x) >= record.XCount ||
        static_cast<uint32_t>(y) >= record.YCount)
        return ZY_E_TILE;
    return ZY_OK;
}

// A quality-75 JPEG of the given pixels, or nothing.
int EncodeTile(const ZyPicHead& head, const uint8_t* pixels, unsigned char** data, int* size) {
    unsigned char* jpeg = nullptr;
    const int length = EncodeJpegBgr(pixels, head.TileWidth, head.TileHeight, 75, &jpeg);
    if (length <= 0) {
        free(jpeg);
        return ZY_E_ENCODE;
    }
    *data = jpeg;
    *size = length;
    return ZY_OK;
}

int WhiteJpeg(const ZyPicHead& head, unsigned char** data, int* size) {
    const size_t bytes = size_t{head.TileWidth} * head.TileHeight * 3;
    ByteBuffer white;
    if (!white.Reserve(bytes)) return ZY_E_ENCODE;
    memset(white.data(), 0xFF, bytes);
    return EncodeTile(head, white.data(), data, size);
}

int TranscodeHevcTile(const ZyTarnInfo* info, const unsigned char* stream, int length,
                      unsigned char** data, int* size) {
    const ZyPicHead& head = *info->PicHead;
    const int width = static_cast<int>(head.TileWidth), height = static_cast<int>(head.TileHeight);
    YuvView picture;
    if (!DecodeHevcPicture(stream, static_cast<size_t>(length), width, height, &picture))
        return ZY_E_HEVC;
    const SlideColors colors(info);
    if (!colors.lookup()) return ZY_E_HEVC;
    ByteBuffer pixels;
    if (!pixels.Reserve(size_t{head.TileWidth} * head.TileHeight * 3)) return ZY_E_HEVC;
    ConvertYuvRect(picture, colors.lookup(), 0, 0, width, height, CS_BGR24, pixels.data(),
                   size_t{head.TileWidth} * 3);
    return EncodeTile(head, pixels.data(), data, size);
}

}  // namespace
}  // namespace tarn

using namespace tarn;

int ZyGetJpegSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size, int layer,
                                 int x, int y) {
    if (const int code = CheckTileAddress(info, layer, x, y); code != ZY_OK) return code;
    if (data == nullptr || size == nullptr) return ZY_E_NULL;
    const StoredTile tile = TileAt(info, static_cast<uint32_t>(layer), static_cast<uint32_t>(x),
                                   static_cast<uint32_t>(y));
    const uint32_t compression = info->PicHead->CompressionType;
    if (compression != ZY_COMPRESSION_JPEG && compression != ZY_COMPRESSION_HEVC)
        return ZY_E_DECODE;  // no decoder to make a JPEG with
    if (tile.empty()) return WhiteJpeg(*info->PicHead, data, size);
    unsigned char* stored = nullptr;
    if (const int code = ReadStoredTile(info->Path, tile, &stored); code != ZY_OK) return code;
    if (compression == ZY_COMPRESSION_JPEG) {
        *data = stored;
        *size = tile.size;
        return ZY_OK;
    }
    const int code = TranscodeHevcTile(info, stored, tile.size, data, size);
    free(stored);
    return code;
}

int ZyGetHevcSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size, int layer,
                                 int x, int y) {
    if (const int code = CheckTileAddress(info, layer, x, y); code != ZY_OK) return code;
    if (data == nullptr || size == nullptr) return ZY_E_NULL;
    const StoredTile tile = TileAt(info, static_cast<uint32_t>(layer), static_cast<uint32_t>(x),
                                   static_cast<uint32_t>(y));
    if (tile.empty()) {
        *data = nullptr;
        *size = 0;
        return ZY_OK;
    }
    unsigned char* stored = nullptr;
    if (const int code = ReadStoredTile(info->Path, tile, &stored); code != ZY_OK) return code;
    *data = stored;
    *size = tile.size;
    return ZY_OK;
}
