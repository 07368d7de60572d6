// The codecs as the fixed interface exports them: JPEG, HEVC and BMP over the library's codecs,
// each printing what its documented counterpart prints (libjpeg's message for a JPEG that does
// not decode, the HEVC decoder's set-up failures on stderr; Print's summary on stdout).
#include <cstdio>

#include "ColorCorrect/ColorTables.h"
#include "Common/EnumValue.h"
#include "DecodeHevc/HevcDecoder.h"
#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/Handles.h"
#include "FixedApi/RecordViews.h"
#include "FixedApi/ZyCommon.h"
#include "DecodeBmp/BmpReader.h"

using namespace tarn;

ZY_API int GetColorChannel(J_COLOR_SPACE space) {
    return ColorSpaceChannels(EnumValue(space));
}

extern "C" ZY_API int ZyEncodeJpeg(unsigned char* pixels, unsigned char** jpeg, int quality,
                                   unsigned width, unsigned height, J_COLOR_SPACE space) {
    const int value = EnumValue(space);
    const int channels = ColorSpaceChannels(value);
    if (channels < 0) return -1;
    return EncodeJpeg(pixels, width, height, quality, static_cast<J_COLOR_SPACE>(value), channels,
                      jpeg);
}

extern "C" ZY_API int ZyDecodeJpeg(const unsigned char* jpeg, unsigned long length,
                                   unsigned char** pixels, J_COLOR_SPACE space) {
    // Numbers that name no libjpeg colour space are refused like any unsupported conversion.
    const int value = EnumValue(space);
    if (value < JCS_UNKNOWN || value > JCS_RGB565) return 0;
    // The table stays alive for the whole call even if a slide is closed meanwhile.
    const PinnedGlobalTable table;
    Error why;
    const int size = DecodeJpegCorrected(jpeg, length, static_cast<J_COLOR_SPACE>(value),
                                         table.lookup(), 0, 0, pixels, &why);
    if (size == 0 && why.loud) PrintLoud(why);
    return size;
}

ZY_API int DecodeHevc(const unsigned char* stream, int width, int height, int length,
                      unsigned char* out, _ColorSpace requested) {
    const PackedLayout space = KnownLayout(EnumValue(requested));
    int bytes = 0;
    if (stream == nullptr || out == nullptr || length <= 0 ||
        !PackedImageBytes(width, height, space, &bytes))
        return -1;
    const PinnedGlobalTable table;
    if (!table.lookup()) return -1;
    YuvView picture;
    Error why;
    if (!DecodeHevcPicture(stream, static_cast<size_t>(length), width, height, &picture, &why)) {
        if (why.loud) PrintLoud(why);
        return -1;
    }
    const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(BytesPerPixel(space));
    ConvertYuvRect(picture, table.lookup(), 0, 0, width, height, space, out, stride);
    return bytes;
}

ZY_API int Yuv420pRgb(unsigned char* yuv, unsigned char* out, int width, int height,
                      _ColorSpace requested) {
    const PackedLayout space = KnownLayout(EnumValue(requested));
    int bytes = 0;
    if (yuv == nullptr || out == nullptr || !PackedImageBytes(width, height, space, &bytes))
        return -1;
    const PinnedGlobalTable table;
    if (!table.lookup()) return -1;
    const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(BytesPerPixel(space));
    ConvertYuvRect(PlanarYuvView(yuv, width, height), table.lookup(), 0, 0, width, height, space,
                   out, stride);
    return bytes;
}

extern "C" ZY_API unsigned char* GetRgb24FromBmp(unsigned char* bmpData, BmpInfo* bmpInfo) {
    return ReadBmpAsDocumented(bmpData, AsCore(bmpInfo));
}

ZY_API void Print(BmpInfo* bmpInfo) {
    if (bmpInfo == nullptr) return;
    printf("width = %d, height = %d, bpp = %d", bmpInfo->biWidth, bmpInfo->biHeight,
           bmpInfo->biBitCount);
}
