// One tile as pixels, drawn through the tile path like every region.
#include <cstdlib>

#include "Common/Status.h"
#include "DecodeTarn/SlideColors.h"
#include "DecodeTarn/TileAccess.h"
#include "DecodeTarn/ZyCommon.h"

using namespace tarn;

namespace {

// A single tile of a JPEG slide that the file does not store comes out as the white JPEG of the
// tile fetch would decode: white passed through the colour correction (that JPEG decodes to
// exact 255s). Everywhere else an empty tile is plain white.
int DrawEmptyJpegSlideTile(const ColorLookup& colors, uint8_t* dst, size_t dstStride,
                           uint32_t width, uint32_t height) {
    if (!colors) return ZY_E_DECODE;
    FillPixels(dst, dstStride, width, height, CorrectedBgr(colors, 0xFF, 0xFF, 0xFF));
    return ZY_OK;
}

}  // namespace

int ZyGetRgbSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int layer, int x, int y) {
    if (info == nullptr || info->PicHead == nullptr || data == nullptr) return ZY_E_NULL;
    const TileCodec codec = CodecOf(*info->PicHead);
    if (codec == TileCodec::None) {
        *data = nullptr;
        return ZY_E_DECODE;
    }
    if (const int code = CheckTileAddress(info, layer, x, y); code != ZY_OK) return code;

    const ZyPicHead& head = *info->PicHead;
    const size_t stride = size_t{head.TileWidth} * 3;
    auto* pixels = static_cast<unsigned char*>(malloc(stride * head.TileHeight));
    if (pixels == nullptr) {
        *data = nullptr;
        return ZY_E_DECODE;  // the one status of this function for memory that ran out
    }
    const auto tx = static_cast<uint32_t>(x), ty = static_cast<uint32_t>(y);
    const SlideColors colors(info);
    const PixelRect whole{0, 0, head.TileWidth, head.TileHeight};
    const int code =
        TileAt(info, static_cast<uint32_t>(layer), tx, ty).empty() && codec == TileCodec::Jpeg
            ? DrawEmptyJpegSlideTile(colors.lookup(), pixels, stride, head.TileWidth,
                                     head.TileHeight)
            : DrawTile(info, colors.lookup(), static_cast<uint32_t>(layer), tx, ty, whole, pixels,
                       stride);
    if (code == ZY_OK) {
        *data = pixels;
        return ZY_OK;
    }
    // A tile that cannot be read fails as the tile fetch does, with nothing handed out.
    if (code == ZY_E_SHORT_READ || code == kFileChanged) {
        free(pixels);
        return ZY_E_SHORT_READ;
    }
    // A tile that does not decode: an HEVC slide's tile comes out white, a JPEG slide's not at all.
    if (codec == TileCodec::Hevc && code != kNoMemory) {
        FillWhite(pixels, stride, head.TileWidth, head.TileHeight);
        *data = pixels;
    } else {
        free(pixels);
        *data = nullptr;
    }
    return ZY_E_DECODE;
}
