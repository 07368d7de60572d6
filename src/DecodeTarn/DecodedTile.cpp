// One tile as pixels.
#include <cstdlib>
#include <cstring>

#include "DecodeTarn/SlideColors.h"
#include "DecodeTarn/TileAccess.h"

using namespace tarn;

namespace {

size_t TileBytes(const ZyPicHead& head) {
    return size_t{head.TileWidth} * head.TileHeight * 3;
}

// A JPEG slide's tile goes through the JPEG fetch, so an empty tile arrives as the white JPEG and
// is decoded and corrected like any other.
int DecodeJpegSlideTile(ZyTarnInfo* info, unsigned char** data, int layer, int x, int y) {
    unsigned char* jpeg = nullptr;
    int size = 0;
    if (const int code = ZyGetJpegSliceOfSpecifyLayer(info, &jpeg, &size, layer, x, y);
        code != ZY_OK)
        return code;
    const ZyPicHead& head = *info->PicHead;
    unsigned char* pixels = nullptr;
    int decoded = 0;
    {
        const SlideColors colors(info);
        // A tile of another size is refused before decoding: its pixels would not fit the tile.
        decoded = DecodeJpegCorrected(jpeg, static_cast<size_t>(size), JCS_EXT_BGR, colors.lookup(),
                                      head.TileWidth, head.TileHeight, &pixels);
    }
    free(jpeg);
    *data = pixels;
    return pixels != nullptr && static_cast<size_t>(decoded) == TileBytes(head) ? ZY_OK
                                                                                : ZY_E_DECODE;
}

// An HEVC slide's tile is decoded into a white buffer; an empty tile stays white.
int DecodeHevcSlideTile(ZyTarnInfo* info, unsigned char** data, int layer, int x, int y) {
    unsigned char* stream = nullptr;
    int size = 0;
    if (const int code = ZyGetHevcSliceOfSpecifyLayer(info, &stream, &size, layer, x, y);
        code != ZY_OK)
        return code;
    const ZyPicHead& head = *info->PicHead;
    auto* pixels = static_cast<unsigned char*>(malloc(TileBytes(head)));
    if (pixels == nullptr) {
        free(stream);
        return ZY_E_DECODE;
    }
    memset(pixels, 0xFF, TileBytes(head));
    int code = ZY_OK;
    if (stream != nullptr) {
        const SlideColors colors(info);
        const PixelRect whole{0, 0, head.TileWidth, head.TileHeight};
        code = DrawStoredTile(info, colors.lookup(), stream, static_cast<size_t>(size), whole,
                              pixels, size_t{head.TileWidth} * 3);
        if (code != ZY_OK) {
            memset(pixels, 0xFF, TileBytes(head));  // nothing half-drawn is handed out
            code = ZY_E_DECODE;
        }
    }
    free(stream);
    *data = pixels;
    return code;
}

}  // namespace

int ZyGetRgbSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int layer, int x, int y) {
    if (info == nullptr || info->PicHead == nullptr || data == nullptr) return ZY_E_NULL;
    switch (info->PicHead->CompressionType) {
        case ZY_COMPRESSION_JPEG:
            return DecodeJpegSlideTile(info, data, layer, x, y);
        case ZY_COMPRESSION_HEVC:
            return DecodeHevcSlideTile(info, data, layer, x, y);
        default:
            *data = nullptr;
            return ZY_E_DECODE;
    }
}
