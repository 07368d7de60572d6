// One tile as pixels, drawn through the tile path like every region.
#include <cstdlib>

#include "Common/Status.h"
#include "FixedApi/Handles.h"
#include "FixedApi/StatusCodes.h"
#include "FixedApi/ZyCommon.h"
#include "Service/Reads.h"

using namespace tarn;

namespace {

// A single tile of a JPEG slide that the file does not store comes out as the white JPEG of the
// tile fetch would decode: white passed through the colour correction (that JPEG decodes to
// exact 255s). Everywhere else an empty tile is plain white.
Status DrawEmptyJpegSlideTile(const ColorLookup& colors, uint8_t* dst, size_t dstStride,
                              uint32_t width, uint32_t height) {
    if (!colors) return Status::Undecodable;
    FillPixels(dst, dstStride, width, height, CorrectedBgr(colors, 0xFF, 0xFF, 0xFF));
    return Status::Ok;
}

}  // namespace

namespace tarn {

int TilePixels(ZyTarnInfo* info, unsigned char** data, int layer, int x, int y) {
    if (info == nullptr || info->PicHead == nullptr || data == nullptr) return ZY_E_NULL;
    const TileCodec codec = CodecOf(info->PicHead->CompressionType);
    if (codec == TileCodec::None) {
        *data = nullptr;
        return ZY_E_DECODE;
    }
    const FixedRead read(info);
    if (const int code = CheckTileAddress(read, layer, x, y); code != ZY_OK) return code;

    const TileLayout& layout = read.layout();
    const size_t stride = size_t{layout.tileWidth} * 3;
    auto* pixels = static_cast<unsigned char*>(malloc(stride * layout.tileHeight));
    if (pixels == nullptr) {
        *data = nullptr;
        return ZY_E_DECODE;  // the one status of this function for memory that ran out
    }
    const auto l = static_cast<uint32_t>(layer), tx = static_cast<uint32_t>(x),
               ty = static_cast<uint32_t>(y);
    const Status status =
        TileAt(layout.layers[l], tx, ty).empty() && codec == TileCodec::Jpeg
            ? DrawEmptyJpegSlideTile(read.context().colors, pixels, stride, layout.tileWidth,
                                     layout.tileHeight)
            : ReadTilePixels(read.context(), l, tx, ty, pixels, stride, PixelFormat::Bgr);
    if (status == Status::Ok) {
        *data = pixels;
        return ZY_OK;
    }
    const int code = FixedCode(status, FixedCall::DecodedTile);
    // A tile that cannot be read fails as the tile fetch does, with nothing handed out.
    if (code == ZY_E_SHORT_READ) {
        free(pixels);
        return code;
    }
    // A tile that does not decode: an HEVC slide's tile comes out white, a JPEG slide's not at all.
    if (codec == TileCodec::Hevc && status != Status::NoMemory) {
        FillWhite(pixels, stride, layout.tileWidth, layout.tileHeight);
        *data = pixels;
    } else {
        free(pixels);
        *data = nullptr;
    }
    return code;
}

}  // namespace tarn

int ZyGetRgbSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int layer, int x, int y) {
    return TilePixels(info, data, layer, x, y);
}
