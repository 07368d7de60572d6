// One stored tile as bytes: the JPEG a viewer can show (stored, transcoded from HEVC, or white
// for a tile the file does not hold), or the stored bytes as they are.
#include <cstdlib>
#include <cstring>

#include "Common/Status.h"
#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/Handles.h"
#include "FixedApi/ZyCommon.h"
#include "Service/Reads.h"

namespace tarn {
namespace {

// The fetch reports a file it can no longer read, and memory it could not get, as a tile whose
// bytes cannot all be read.
int FetchStatus(int code) {
    return FoldStatus(code, ZY_E_SHORT_READ, ZY_E_SHORT_READ);
}

// A quality-75 JPEG of the given pixels, or nothing.
int EncodeTile(const TileLayout& layout, const uint8_t* pixels, unsigned char** data, int* size) {
    unsigned char* jpeg = nullptr;
    const int length = EncodeJpegBgr(pixels, layout.tileWidth, layout.tileHeight, 75, &jpeg);
    if (length <= 0) {
        free(jpeg);
        return ZY_E_ENCODE;
    }
    *data = jpeg;
    *size = length;
    return ZY_OK;
}

size_t TileBytes(const TileLayout& layout) {
    return size_t{layout.tileWidth} * layout.tileHeight * 3;
}

int WhiteJpeg(const TileLayout& layout, unsigned char** data, int* size) {
    ByteBuffer white;
    if (!white.Reserve(TileBytes(layout))) return kNoMemory;
    memset(white.data(), 0xFF, TileBytes(layout));
    return EncodeTile(layout, white.data(), data, size);
}

// An HEVC tile drawn through the tile path, then encoded.
int TranscodeHevcTile(const FixedRead& read, const unsigned char* stream, int length,
                      unsigned char** data, int* size) {
    const TileLayout& layout = read.layout();
    ByteBuffer pixels;
    if (!pixels.Reserve(TileBytes(layout))) return kNoMemory;
    const PixelRect whole{0, 0, layout.tileWidth, layout.tileHeight};
    Message why;
    const int code =
        DrawStoredTile(read.context(), stream, static_cast<size_t>(length), whole, pixels.data(),
                       size_t{layout.tileWidth} * 3, PixelFormat::Bgr, &why);
    if (code != ZY_OK) {
        if (why.loud) PrintLoud(why);
        return code == kNoMemory ? code : ZY_E_HEVC;
    }
    return EncodeTile(layout, pixels.data(), data, size);
}

}  // namespace

int TileJpeg(const FixedRead& read, unsigned char** data, int* size, int layer, int x, int y) {
    if (const int code = CheckTileAddress(read, layer, x, y); code != ZY_OK) return code;
    if (data == nullptr || size == nullptr) return ZY_E_NULL;
    const TileCodec codec = read.layout().codec;
    if (codec == TileCodec::None) return ZY_E_DECODE;  // no decoder to make a JPEG with
    const auto l = static_cast<uint32_t>(layer), tx = static_cast<uint32_t>(x),
               ty = static_cast<uint32_t>(y);
    const StoredTile tile = TileAt(read.layout().layers[l], tx, ty);
    if (tile.empty()) return FetchStatus(WhiteJpeg(read.layout(), data, size));
    unsigned char* stored = nullptr;
    if (const int code = ReadStoredTile(read.context(), l, tx, ty, tile, &stored); code != ZY_OK)
        return FetchStatus(code);
    // The stored bytes of a JPEG slide are the JPEG.
    if (codec == TileCodec::Jpeg) {
        *data = stored;
        *size = tile.size;
        return ZY_OK;
    }
    const int code = TranscodeHevcTile(read, stored, tile.size, data, size);
    free(stored);
    return FetchStatus(code);
}

}  // namespace tarn

using namespace tarn;

int ZyGetJpegSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size, int layer,
                                 int x, int y) {
    const FixedRead read(info);
    return TileJpeg(read, data, size, layer, x, y);
}

int ZyGetHevcSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size, int layer,
                                 int x, int y) {
    const FixedRead read(info);
    if (const int code = CheckTileAddress(read, layer, x, y); code != ZY_OK) return code;
    if (data == nullptr || size == nullptr) return ZY_E_NULL;
    unsigned char* stored = nullptr;
    size_t length = 0;
    if (const int code =
            ReadTileBytes(read.context(), static_cast<uint32_t>(layer), static_cast<uint32_t>(x),
                          static_cast<uint32_t>(y), &stored, &length);
        code != ZY_OK)
        return FetchStatus(code);
    *data = stored;
    *size = static_cast<int>(length);
    return ZY_OK;
}
