// The fixed interface's records as views of the core's: the same bytes under the names
// DecodeTarn.h gives them. The layouts are proved equal here, field by field, at compile time, so
// that a handle's records can point into the core slide's and a caller's records can be read by
// the core's record functions.
#pragma once

#include <cstddef>
#include <type_traits>

#include "ColorCorrect/ColorTables.h"
#include "Common/FileRecords.h"
#include "DecodeHevc/HevcDecoder.h"
#include "DecodeTarn.h"

namespace tarn {

template <class Fixed, class Core>
constexpr bool kSameShape =
    sizeof(Fixed) == sizeof(Core) &&
    std::is_standard_layout_v<Fixed>&& std::is_standard_layout_v<
        Core>&& std::is_trivially_copyable_v<Fixed>&& std::is_trivially_copyable_v<Core>;

#define TARN_SAME_FIELD(fixed, core, field)                          \
    static_assert(offsetof(fixed, field) == offsetof(core, field) && \
                  sizeof(fixed::field) == sizeof(core::field))

static_assert(kSameShape<ZyPicHead, SlideHead> && sizeof(SlideHead) == 156);
TARN_SAME_FIELD(ZyPicHead, SlideHead, Magic);
TARN_SAME_FIELD(ZyPicHead, SlideHead, MacrographCount);
TARN_SAME_FIELD(ZyPicHead, SlideHead, PersonInfoFlag);
TARN_SAME_FIELD(ZyPicHead, SlideHead, Layer);
TARN_SAME_FIELD(ZyPicHead, SlideHead, ImageWidth);
TARN_SAME_FIELD(ZyPicHead, SlideHead, ImageHeight);
TARN_SAME_FIELD(ZyPicHead, SlideHead, TileWidth);
TARN_SAME_FIELD(ZyPicHead, SlideHead, TileHeight);
TARN_SAME_FIELD(ZyPicHead, SlideHead, ThumbWidth);
TARN_SAME_FIELD(ZyPicHead, SlideHead, ThumbHeight);
TARN_SAME_FIELD(ZyPicHead, SlideHead, Quality);
TARN_SAME_FIELD(ZyPicHead, SlideHead, Ratio);
TARN_SAME_FIELD(ZyPicHead, SlideHead, MPP);
TARN_SAME_FIELD(ZyPicHead, SlideHead, AppMag);
TARN_SAME_FIELD(ZyPicHead, SlideHead, ExtraInfoFlag);
TARN_SAME_FIELD(ZyPicHead, SlideHead, CompressionType);

static_assert(kSameShape<ZyPersonInfo, PersonRecord> && sizeof(PersonRecord) == 6808);
TARN_SAME_FIELD(ZyPersonInfo, PersonRecord, Magic);

static_assert(kSameShape<ZyExtraInfo, ExtraRecord> && sizeof(ExtraRecord) == 768);
TARN_SAME_FIELD(ZyExtraInfo, ExtraRecord, Magic);
TARN_SAME_FIELD(ZyExtraInfo, ExtraRecord, Gamma);
TARN_SAME_FIELD(ZyExtraInfo, ExtraRecord, Gains);
TARN_SAME_FIELD(ZyExtraInfo, ExtraRecord, HsvScale);
TARN_SAME_FIELD(ZyExtraInfo, ExtraRecord, ColorMatrix);

static_assert(kSameShape<ZyMacrographInfo, MacroRecord> && sizeof(MacroRecord) == 123);
TARN_SAME_FIELD(ZyMacrographInfo, MacroRecord, Magic);
TARN_SAME_FIELD(ZyMacrographInfo, MacroRecord, Width);
TARN_SAME_FIELD(ZyMacrographInfo, MacroRecord, Height);
TARN_SAME_FIELD(ZyMacrographInfo, MacroRecord, Channels);
TARN_SAME_FIELD(ZyMacrographInfo, MacroRecord, DataSize);
TARN_SAME_FIELD(ZyMacrographInfo, MacroRecord, NextOffset);

static_assert(kSameShape<ZyPicInfo, PictureRecord> && sizeof(PictureRecord) == 122);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, Magic);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, TileCount);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, XCount);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, YCount);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, DataSize);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, NextOffset);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, BoundWidth);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, BoundHeight);
TARN_SAME_FIELD(ZyPicInfo, PictureRecord, DataFormat);

static_assert(kSameShape<BmpInfo, BmpHeader> && sizeof(BmpHeader) == 40);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biSize);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biWidth);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biHeight);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biPlanes);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biBitCount);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biCompression);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biSizeImage);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biXPelsPerMeter);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biYPelsPerMeter);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biClrUsed);
TARN_SAME_FIELD(BmpInfo, BmpHeader, biClrImportant);

static_assert(kSameShape<ColorCorrectTable, PlaneTable>);
TARN_SAME_FIELD(ColorCorrectTable, PlaneTable, plane);
TARN_SAME_FIELD(ColorCorrectTable, PlaneTable, range);

#undef TARN_SAME_FIELD

static_assert(kMacroSlots == macroNum && kCompressionJpeg == ZY_COMPRESSION_JPEG &&
              kCompressionHevc == ZY_COMPRESSION_HEVC && kStoredJpeg == ZY_FORMAT_JPEG &&
              kStoredBmp == ZY_FORMAT_BMP);
static_assert(static_cast<int>(PackedLayout::Rgb24) == CS_RGB24 &&
              static_cast<int>(PackedLayout::Bgr24) == CS_BGR24 &&
              static_cast<int>(PackedLayout::Argb) == CS_ARGB &&
              static_cast<int>(PackedLayout::Rgba) == CS_RGBA &&
              static_cast<int>(PackedLayout::Abgr) == CS_ABGR &&
              static_cast<int>(PackedLayout::Bgra) == CS_BGRA);

// The core's record behind a fixed one, and back.
template <class Fixed>
struct CoreRecordOf;
#define TARN_RECORD_PAIR(Fixed, Core) \
    template <>                       \
    struct CoreRecordOf<Fixed> {      \
        using type = Core;            \
    }
TARN_RECORD_PAIR(ZyPicHead, SlideHead);
TARN_RECORD_PAIR(ZyPersonInfo, PersonRecord);
TARN_RECORD_PAIR(ZyExtraInfo, ExtraRecord);
TARN_RECORD_PAIR(ZyMacrographInfo, MacroRecord);
TARN_RECORD_PAIR(ZyPicInfo, PictureRecord);
TARN_RECORD_PAIR(BmpInfo, BmpHeader);
TARN_RECORD_PAIR(ColorCorrectTable, PlaneTable);
#undef TARN_RECORD_PAIR

template <class Fixed, class Core = typename CoreRecordOf<Fixed>::type>
Core* AsCore(Fixed* record) {
    return reinterpret_cast<Core*>(record);
}
template <class Fixed, class Core = typename CoreRecordOf<Fixed>::type>
const Core* AsCore(const Fixed* record) {
    return reinterpret_cast<const Core*>(record);
}
template <class Fixed, class Core = typename CoreRecordOf<Fixed>::type>
Core& AsCore(Fixed& record) {
    return *reinterpret_cast<Core*>(&record);
}
template <class Fixed, class Core = typename CoreRecordOf<Fixed>::type>
const Core& AsCore(const Fixed& record) {
    return *reinterpret_cast<const Core*>(&record);
}

// The fixed record a core one is shown as.
inline ZyPicHead* AsFixed(SlideHead* record) {
    return reinterpret_cast<ZyPicHead*>(record);
}
inline ZyPersonInfo* AsFixed(PersonRecord* record) {
    return reinterpret_cast<ZyPersonInfo*>(record);
}
inline ZyExtraInfo* AsFixed(ExtraRecord* record) {
    return reinterpret_cast<ZyExtraInfo*>(record);
}
inline ZyPicInfo* AsFixed(PictureRecord* record) {
    return reinterpret_cast<ZyPicInfo*>(record);
}
inline ColorCorrectTable* AsFixed(PlaneTable* table) {
    return reinterpret_cast<ColorCorrectTable*>(table);
}
inline const ColorCorrectTable* AsFixed(const PlaneTable* table) {
    return reinterpret_cast<const ColorCorrectTable*>(table);
}

inline PackedLayout AsCore(_ColorSpace space) {
    return static_cast<PackedLayout>(static_cast<int>(space));
}

}  // namespace tarn
