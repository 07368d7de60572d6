// One stored tile as bytes: the JPEG a viewer can show (stored, transcoded from HEVC, or white
// for a tile the file does not hold), or the stored bytes as they are.
#include <cstdlib>
#include <cstring>

#include "Common/Status.h"
#include "DecodeJpeg/JpegCodec.h"
#include "DecodeTarn/SlideColors.h"
#include "DecodeTarn/TileAccess.h"

namespace tarn {
namespace {

// The fetch reports a file it can no longer read, and memory it could not get, as a tile whose
// bytes cannot all be read.
int FetchStatus(int code) {
    return FoldStatus(code, ZY_E_SHORT_READ, ZY_E_SHORT_READ);
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

size_t TileBytes(const ZyPicHead& head) {
    return size_t{head.TileWidth} * head.TileHeight * 3;
}

int WhiteJpeg(const ZyPicHead& head, unsigned char** data, int* size) {
    ByteBuffer white;
    if (!white.Reserve(TileBytes(head))) return kNoMemory;
    memset(white.data(), 0xFF, TileBytes(head));
    return EncodeTile(head, white.data(), data, size);
}

// An HEVC tile drawn through the tile path, then encoded.
int TranscodeHevcTile(const ZyTarnInfo* info, const unsigned char* stream, int length,
                      unsigned char** data, int* size) {
    const ZyPicHead& head = *info->PicHead;
    ByteBuffer pixels;
    if (!pixels.Reserve(TileBytes(head))) return kNoMemory;
    const SlideColors colors(info);
    const PixelRect whole{0, 0, head.TileWidth, head.TileHeight};
    const int code = DrawStoredTile(info, colors.lookup(), stream, static_cast<size_t>(length),
                                    whole, pixels.data(), size_t{head.TileWidth} * 3);
    if (code != ZY_OK) return code == kNoMemory ? code : ZY_E_HEVC;
    return EncodeTile(head, pixels.data(), data, size);
}

}  // namespace
}  // namespace tarn

using namespace tarn;

int ZyGetJpegSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size, int layer,
                                 int x, int y) {
    if (const int code = CheckTileAddress(info, layer, x, y); code != ZY_OK) return code;
    if (data == nullptr || size == nullptr) return ZY_E_NULL;
    const TileCodec codec = CodecOf(*info->PicHead);
    if (codec == TileCodec::None) return ZY_E_DECODE;  // no decoder to make a JPEG with
    const StoredTile tile = TileAt(info, static_cast<uint32_t>(layer), static_cast<uint32_t>(x),
                                   static_cast<uint32_t>(y));
    if (tile.empty()) return FetchStatus(WhiteJpeg(*info->PicHead, data, size));
    unsigned char* stored = nullptr;
    if (const int code = ReadStoredTile(SourceOf(info), tile, &stored); code != ZY_OK)
        return FetchStatus(code);
    // The stored bytes of a JPEG slide are the JPEG.
    if (codec == TileCodec::Jpeg) {
        *data = stored;
        *size = tile.size;
        return ZY_OK;
    }
    const int code = TranscodeHevcTile(info, stored, tile.size, data, size);
    free(stored);
    return FetchStatus(code);
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
    if (const int code = ReadStoredTile(SourceOf(info), tile, &stored); code != ZY_OK)
        return FetchStatus(code);
    *data = stored;
    *size = tile.size;
    return ZY_OK;
}
