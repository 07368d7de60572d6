// One stored tile as bytes: the JPEG a viewer can show (stored, transcoded from HEVC, or white
// for a tile the file does not hold), or the stored bytes as they are.
#include <cstdlib>
#include <cstring>

#include "Common/Status.h"
#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/Handles.h"
#include "FixedApi/StatusCodes.h"
#include "FixedApi/ZyCommon.h"
#include "Service/Reads.h"

namespace tarn {
namespace {

// The fetch reports a file it can no longer read, and memory it could not get, as a tile whose
// bytes cannot all be read.
int FetchStatus(Status status) {
    return FixedCode(status, FixedCall::TileFetch);
}

// A quality-75 JPEG of the given pixels, or nothing.
Status EncodeTile(const TileLayout& layout, const uint8_t* pixels, unsigned char** data,
                  int* size) {
    unsigned char* jpeg = nullptr;
    const int length =
        EncodeJpegBgr(pixels, layout.tileWidth, layout.tileHeight, kExportQuality, &jpeg);
    if (length <= 0) {
        free(jpeg);
        return Status::EncodeFailed;
    }
    *data = jpeg;
    *size = length;
    return Status::Ok;
}

size_t TileBytes(const TileLayout& layout) {
    return size_t{layout.tileWidth} * layout.tileHeight * 3;
}

Status WhiteJpeg(const TileLayout& layout, unsigned char** data, int* size) {
    ByteBuffer white;
    if (!white.Reserve(TileBytes(layout))) return Status::NoMemory;
    memset(white.data(), 0xFF, TileBytes(layout));
    return EncodeTile(layout, white.data(), data, size);
}

// An HEVC tile drawn through the tile path, then encoded.
Status TranscodeHevcTile(const FixedRead& read, const unsigned char* stream, int length,
                         unsigned char** data, int* size) {
    const TileLayout& layout = read.layout();
    ByteBuffer pixels;
    if (!pixels.Reserve(TileBytes(layout))) return Status::NoMemory;
    const PixelRect whole{0, 0, layout.tileWidth, layout.tileHeight};
    Error why;
    const Status status =
        DrawStoredTile(read.context(), stream, static_cast<size_t>(length), whole, pixels.data(),
                       size_t{layout.tileWidth} * 3, PixelFormat::Bgr, &why);
    if (status != Status::Ok) {
        if (why.loud) PrintLoud(why);
        return status == Status::NoMemory ? status : Status::HevcFailed;
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
    if (const Status status = ReadStoredTile(read.context(), l, tx, ty, tile, &stored);
        status != Status::Ok)
        return FetchStatus(status);
    // The stored bytes of a JPEG slide are the JPEG.
    if (codec == TileCodec::Jpeg) {
        *data = stored;
        *size = tile.size;
        return ZY_OK;
    }
    const Status status = TranscodeHevcTile(read, stored, tile.size, data, size);
    free(stored);
    return FetchStatus(status);
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
    if (const Status status =
            ReadTileBytes(read.context(), static_cast<uint32_t>(layer), static_cast<uint32_t>(x),
                          static_cast<uint32_t>(y), &stored, &length);
        status != Status::Ok)
        return FetchStatus(status);
    *data = stored;
    *size = static_cast<int>(length);
    return ZY_OK;
}
