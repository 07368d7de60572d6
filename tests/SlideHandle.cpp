// Opening and closing slides: what a handle holds, which files are refused, and which colour
// table each slide decodes with.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "FixedApi/RecordViews.h"
#include "ColorCorrect/ColorTables.h"
#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/ZyCommon.h"
#include "TarnWriter.h"
#include "support/SlideFixtures.h"
#include "support/Slides.h"
#include "support/TestFiles.h"

using tarntest::OpenSlide;
using tarntest::TempFile;
using tarnwriter::Bytes;
using tarnwriter::LayerSpec;
using tarnwriter::SlideLayout;
using tarnwriter::SlideSpec;

namespace {

// Pixels of a JPEG through the table of `params`, the way an open slide decodes it.
Bytes DecodedWith(const Bytes& jpeg, const tarn::ColorParams& params, uint32_t w, uint32_t h) {
    const tarn::ColorLut* lut = tarn::AcquireColorLut(params);
    unsigned char* pixels = nullptr;
    tarn::DecodeJpegCorrected(jpeg.data(), jpeg.size(), JCS_EXT_BGR, tarn::LookupOf(lut), w, h,
                              &pixels);
    tarn::ReleaseColorLut(lut);
    Bytes out;
    if (pixels != nullptr) out.assign(pixels, pixels + size_t{w} * h * 3);
    free(pixels);
    return out;
}

Bytes PixelsOf(const ZyImageInfo* image) {
    if (image == nullptr || image->Pixels == nullptr) return {};
    return Bytes(image->Pixels, image->Pixels + size_t{image->Width} * image->Height * 3);
}

TEST(SlideHandle, WorkedExampleTileOffsets) {
    const tarnwriter::SlideSpec spec = tarntest::WorkedExampleSpec();
    const TempFile file(tarnwriter::BuildSlide(spec).bytes);

    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    const ZySliceInfo& tiles = *slide->SliceInfos[0];
    const uint64_t expected[] = {17246, 17346, 17346, 17596, 17676, 17676};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(tiles.Offsets[i], expected[i]) << i;
    EXPECT_EQ(tiles.Sizes[1], 0U);
    // The stored images are not JPEGs: the slide opens, its images have no pixels.
    EXPECT_EQ(slide->MacroImages[0]->Pixels, nullptr);
    EXPECT_EQ(slide->ThumbImage->Pixels, nullptr);
    EXPECT_EQ(slide->MacroImages[1]->Width, 1500U);
    EXPECT_EQ(slide->ThumbImage->DataSize, 5000);
}

TEST(SlideHandle, HoldsEveryRecordAndDecodedImages) {
    tarn::TrimColorLutCache();
    const SlideSpec spec = tarnwriter::SampleSpec(3, 2, 2);
    const tarnwriter::SlideFile built = tarnwriter::BuildSlide(spec);
    const TempFile file(built.bytes);

    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_STREQ(slide->Path, file.c_str());
    ASSERT_NE(slide->PersonInfo, nullptr);
    EXPECT_EQ(slide->PersonInfo->Magic[0], 'P');
    ASSERT_NE(slide->ExtraInfo, nullptr);
    ASSERT_NE(slide->MacroImages, nullptr);
    EXPECT_EQ(slide->MacroImages[0]->Width, 200U);
    EXPECT_EQ(slide->MacroImages[0]->ColorSpace, 8U);
    EXPECT_EQ(slide->MacroImages[1]->Width, 300U);
    EXPECT_EQ(slide->ThumbImage->Width, 160U);
    EXPECT_EQ(slide->ThumbImage->Channels, 3U);
    // Pixels at the very first open: the slide's table is built before its images decode.
    EXPECT_NE(slide->MacroImages[0]->Pixels, nullptr);
    EXPECT_NE(slide->MacroImages[1]->Pixels, nullptr);
    EXPECT_NE(slide->ThumbImage->Pixels, nullptr);
    EXPECT_EQ(
        ColorTable,
        tarn::AsFixed(tarn::ExportedTable(tarn::AcquireColorLut(tarn::NeutralColorParams()))));
    tarn::ReleaseColorLut(tarn::AcquireColorLut(tarn::NeutralColorParams()));  // balance
    for (uint32_t k = 0; k < 2; ++k) {
        EXPECT_EQ(uint32_t{slide->PicInfos[k]->XCount}, spec.layers[k].xCount);
        EXPECT_EQ(slide->SliceInfos[k]->Offsets[0], built.layout.tileOffsets[k][0]);
    }
}

TEST(SlideHandle, WithoutInformationAreaMembersStayEmpty) {
    SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.personInfo = false;
    spec.labels = false;
    const TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->PersonInfo, nullptr);
    EXPECT_EQ(slide->ExtraInfo, nullptr);
    EXPECT_EQ(slide->MacroImages, nullptr);
    EXPECT_NE(slide->ThumbImage->Pixels, nullptr);  // neutral colours without parameters
}

TEST(SlideHandle, EmptyTileTablesAndLeadingEmptyTiles) {
    SlideSpec spec = tarnwriter::SampleSpec(2, 1, 1);
    spec.layers[0].emptyTiles = {0};
    LayerSpec none;
    none.xCount = 0;
    none.yCount = 0;
    spec.layers.push_back(none);
    const TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->SliceInfos[0]->Offsets[0], slide->SliceInfos[0]->Offsets[1]);
    EXPECT_EQ(slide->SliceInfos[1]->Offsets, nullptr);
    EXPECT_EQ(slide->SliceInfos[1]->Sizes, nullptr);
}

// Records are found by absolute offsets, so a payload may be the last thing in the file: one that
// ends exactly at the end of the file is whole.
TEST(SlideHandle, PayloadsEndingExactlyAtTheEndOfTheFileOpen) {
    const tarnwriter::SlideFile built = tarnwriter::BuildSlide(tarnwriter::SampleSpec(1, 1, 1));
    const SlideLayout& at = built.layout;
    struct Moved {
        const char* name;
        uint64_t from, to;  // the record and its payload
        uint64_t link;      // the NextOffset that names the record
    };
    const Moved cases[] = {
        {"macrograph", at.macroRecords[1], at.thumbnailRecord, at.macroRecords[0] + 43},
        {"thumbnail", at.thumbnailRecord, at.layerRecords[0], at.macroRecords[1] + 43},
    };
    const TempFile original(built.bytes);
    OpenSlide reference(original);
    ASSERT_TRUE(reference);
    for (const Moved& m : cases) {
        Bytes bytes = built.bytes;
        bytes.insert(bytes.end(), built.bytes.begin() + static_cast<std::ptrdiff_t>(m.from),
                     built.bytes.begin() + static_cast<std::ptrdiff_t>(m.to));
        tarnwriter::PutU64(bytes, m.link, built.bytes.size());
        const TempFile file(bytes);
        OpenSlide slide(file);
        ASSERT_TRUE(slide) << m.name;
        EXPECT_EQ(PixelsOf(slide->MacroImages[1]), PixelsOf(reference->MacroImages[1])) << m.name;
        EXPECT_EQ(PixelsOf(slide->ThumbImage), PixelsOf(reference->ThumbImage)) << m.name;
    }
}

TEST(SlideHandle, ThumbnailFormats) {
    const tarnwriter::Image picture = tarnwriter::RenderTissue(0, 0, 33, 17, 3.0, 5);
    for (int bits : {24, 32}) {
        SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
        spec.thumbnail = tarnwriter::EncodeBmp(picture, bits);
        spec.thumbnailFormat = ZY_FORMAT_BMP;
        spec.thumbWidth = 33;
        spec.thumbHeight = 17;
        spec.gains[0] = 1.5F;  // a visible correction that BMP pixels must not get
        const TempFile file(tarnwriter::BuildSlide(spec).bytes);
        OpenSlide slide(file);
        ASSERT_TRUE(slide);
        EXPECT_EQ(slide->ThumbImage->DataFormat, 1U);
        EXPECT_EQ(slide->ThumbImage->Channels, 3U);
        EXPECT_EQ(PixelsOf(slide->ThumbImage), picture.bgr) << bits << " bits";
    }

    SlideSpec unknown = tarnwriter::SampleSpec(1, 1, 1);
    unknown.thumbnailFormat = 2;
    const TempFile file(tarnwriter::BuildSlide(unknown).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->ThumbImage->Pixels, nullptr);
    EXPECT_EQ(slide->ThumbImage->Channels, 0U);
    EXPECT_EQ(slide->ThumbImage->DataFormat, 2U);
}

TEST(SlideHandle, ImagesOfAnotherSizeThanRecordedHaveNoPixels) {
    const tarnwriter::Image picture = tarnwriter::RenderTissue(0, 0, 40, 30, 2.0, 9);
    SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.label = tarnwriter::JpegImage(picture);
    spec.label.width = 41;
    spec.thumbnail = tarnwriter::EncodeBmp(picture, 24);
    spec.thumbnailFormat = ZY_FORMAT_BMP;
    spec.thumbWidth = 40;
    spec.thumbHeight = 31;
    const TempFile file(tarnwriter::BuildSlide(spec).bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->MacroImages[0]->Pixels, nullptr);
    EXPECT_EQ(slide->MacroImages[0]->Width, 41U);  // sizes still come from the record
    EXPECT_NE(slide->MacroImages[1]->Pixels, nullptr);
    EXPECT_EQ(slide->ThumbImage->Pixels, nullptr);
    EXPECT_EQ(slide->ThumbImage->Height, 31U);
}

TEST(SlideHandle, SlidesDecodeWithTheirOwnColours) {
    SlideSpec plain = tarnwriter::SampleSpec(1, 1, 1);
    SlideSpec warm = plain;
    warm.gains[0] = 1.3F;
    warm.hsvScale[1] = 1.2F;
    const TempFile plainFile(tarnwriter::BuildSlide(plain).bytes);
    const TempFile warmFile(tarnwriter::BuildSlide(warm).bytes);

    auto* a = ZyOpenTarn(plainFile.c_str());
    auto* b = ZyOpenTarn(warmFile.c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    tarn::ColorParams warmParams = tarn::NeutralColorParams();
    warmParams.gains[0] = 1.3F;
    warmParams.hsvScale[1] = 1.2F;
    const ZyImageInfo& label = *a->MacroImages[0];
    const Bytes stored(label.Data, label.Data + label.DataSize);
    EXPECT_EQ(PixelsOf(a->MacroImages[0]),
              DecodedWith(stored, tarn::NeutralColorParams(), label.Width, label.Height));
    EXPECT_EQ(PixelsOf(b->MacroImages[0]),
              DecodedWith(stored, warmParams, label.Width, label.Height));
    EXPECT_NE(PixelsOf(a->MacroImages[0]), PixelsOf(b->MacroImages[0]));
    ZyCloseTarn(a);
    ZyCloseTarn(b);
}

TEST(SlideHandle, GlobalTableFollowsOpensAndCloses) {
    const TempFile good(tarnwriter::BuildSlide(tarnwriter::SampleSpec(1, 1, 1)).bytes);
    Bytes badBytes = tarnwriter::BuildSlide(tarnwriter::SampleSpec(1, 1, 1)).bytes;
    badBytes[0] = 'X';
    const TempFile bad(badBytes);

    ZyTarnInfo* slide = ZyOpenTarn(good.c_str());
    ASSERT_NE(slide, nullptr);
    ColorCorrectTable* table = ColorTable;
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(ZyOpenTarn("/nonexistent/slide.tarn"), nullptr);
    EXPECT_EQ(ColorTable, table);  // nothing was opened
    EXPECT_EQ(ZyOpenTarn(tarntest::TestDirectory().c_str()), nullptr);
    EXPECT_EQ(ZyOpenTarn(bad.c_str()), nullptr);
    EXPECT_EQ(ColorTable, nullptr);  // a failed open empties it
    ZyTarnInfo* again = ZyOpenTarn(good.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again->PicHead, slide->PicHead);  // independent copies
    EXPECT_NE(ColorTable, nullptr);
    ZyCloseTarn(again);
    EXPECT_EQ(ColorTable, nullptr);
    // The remaining slide still decodes with its own table.
    EXPECT_NE(slide->ThumbImage->Pixels, nullptr);
    ZyCloseTarn(slide);
    ZyCloseTarn(nullptr);
}

// Files that must not open, each a small change to a valid slide.
TEST(SlideHandle, DamagedFilesOpenToNull) {
    const tarnwriter::SlideFile base = tarnwriter::BuildSlide(tarnwriter::SampleSpec(3, 2, 2));
    const auto& at = base.layout;
    using Mutation = void (*)(Bytes&, const tarnwriter::SlideLayout&);
    struct Case {
        const char* name;
        Mutation mutate;
    };
    const Case cases[] = {
        {"no layers", [](Bytes& b, const auto&) { tarnwriter::PutU32(b, 38, 0); }},
        {"zero tile width", [](Bytes& b, const auto&) { tarnwriter::PutU32(b, 50, 0); }},
        {"zero tile height", [](Bytes& b, const auto&) { tarnwriter::PutU32(b, 54, 0); }},
        {"grid wider than an int",
         [](Bytes& b, const auto& l) { tarnwriter::PutU32(b, l.layerRecords[0] + 14, 1U << 24); }},
        {"tile area beyond an int",
         [](Bytes& b, const auto&) {
             tarnwriter::PutU32(b, 50, 40000);
             tarnwriter::PutU32(b, 54, 40000);
         }},
        {"one label record", [](Bytes& b, const auto&) { tarnwriter::PutU32(b, 30, 1); }},
        {"three label records", [](Bytes& b, const auto&) { tarnwriter::PutU32(b, 30, 3); }},
        {"tile table shorter than the grid",
         [](Bytes& b, const auto& l) { tarnwriter::PutU32(b, l.layerRecords[1] + 10, 0); }},
        {"tile table past the end",
         [](Bytes& b, const auto& l) { tarnwriter::PutU32(b, l.layerRecords[1] + 10, 1U << 30); }},
        {"a million layers", [](Bytes& b, const auto&) { tarnwriter::PutU32(b, 38, 1000000); }},
        {"layer chain loops",
         [](Bytes& b, const auto& l) {
             tarnwriter::PutU32(b, 38, 50);
             tarnwriter::PutU64(b, l.layerRecords[1] + 30, l.layerRecords[0]);
         }},
        {"layer chain past the end",
         [](Bytes& b, const auto& l) {
             tarnwriter::PutU64(b, l.layerRecords[0] + 30, 1ULL << 40);
         }},
        {"label bytes past the end",
         [](Bytes& b, const auto& l) {
             tarnwriter::PutU64(b, l.macroRecords[0] + 34, 1ULL << 50);
         }},
        {"thumbnail bytes past the end",
         [](Bytes& b, const auto& l) {
             tarnwriter::PutU64(b, l.thumbnailRecord + 22, 1ULL << 33);
         }},
        {"person magic", [](Bytes& b, const auto&) { b[156] = 'Q'; }},
        {"extra magic", [](Bytes& b, const auto&) { b[6964] = 'Q'; }},
        {"label magic", [](Bytes& b, const auto& l) { b[l.macroRecords[0]] = 'Q'; }},
        {"thumbnail magic", [](Bytes& b, const auto& l) { b[l.thumbnailRecord + 1] = 'Q'; }},
        {"layer magic", [](Bytes& b, const auto& l) { b[l.layerRecords[1]] = 'Q'; }},
        {"person flag without labels", [](Bytes& b, const auto&) { tarnwriter::PutU32(b, 30, 0); }},
    };
    for (const Case& c : cases) {
        Bytes bytes = base.bytes;
        c.mutate(bytes, at);
        const TempFile file(bytes);
        ZyTarnInfo* slide = ZyOpenTarn(file.c_str());
        EXPECT_EQ(slide, nullptr) << c.name;
        ZyCloseTarn(slide);
    }
    for (uint64_t length :
         {uint64_t{0}, uint64_t{100}, uint64_t{156}, uint64_t{3000}, uint64_t{7000},
          at.macroData[1], at.thumbnailData + 10, at.layerRecords[1] + 50, at.tileTables[1] + 2}) {
        const TempFile file(Bytes(base.bytes.begin(), base.bytes.begin() + length));
        EXPECT_EQ(ZyOpenTarn(file.c_str()), nullptr) << "truncated at " << length;
    }
}

TEST(SlideHandle, TruncatedTilesStillOpen) {
    const tarnwriter::SlideFile base = tarnwriter::BuildSlide(tarnwriter::SampleSpec(3, 2, 1));
    const TempFile file(Bytes(base.bytes.begin(), base.bytes.end() - 100));
    OpenSlide slide(file);
    EXPECT_TRUE(slide);
}

TEST(Disposers, AcceptNullAtEveryLevel) {
    DisposePicHead(nullptr);
    DisposePersonInfo(nullptr);
    DisposeExtraInfo(nullptr);
    DisposeSliceLayerInfo(nullptr, nullptr, 5);
    DisposeMacroImageInfo(nullptr);
    DisposeThumbImageInfo(nullptr);
    DisposeThumbnailInfo(nullptr, nullptr);
    DisposeMacrographInfo(nullptr, nullptr);
    DisposeTileImageInfo(nullptr);
    DisposeClassifyRoot(nullptr);

    auto** picInfos = static_cast<ZyPicInfo**>(calloc(3, sizeof(ZyPicInfo*)));
    auto** slices = static_cast<ZySliceInfo**>(calloc(3, sizeof(ZySliceInfo*)));
    picInfos[1] = static_cast<ZyPicInfo*>(calloc(1, sizeof(ZyPicInfo)));
    slices[2] = static_cast<ZySliceInfo*>(calloc(1, sizeof(ZySliceInfo)));
    slices[2]->Sizes = static_cast<uint32_t*>(malloc(16));
    DisposeSliceLayerInfo(picInfos, slices, 3);

    auto* tile = static_cast<ZyTileImageInfo*>(calloc(1, sizeof(ZyTileImageInfo)));
    tile->Record = static_cast<ZyTileImageRecord*>(calloc(1, sizeof(ZyTileImageRecord)));
    tile->Record->Second = static_cast<unsigned char*>(malloc(8));
    DisposeTileImageInfo(tile);
}

TEST(Disposers, ClassifyRootReleasesEntriesWithItemRecords) {
    auto* root = static_cast<ClassifyRoot*>(calloc(1, sizeof(ClassifyRoot)));
    root->Descriptor = static_cast<ClassifyDescriptor*>(calloc(1, sizeof(ClassifyDescriptor)));
    root->Descriptor->EntryCount = 2;
    root->Entries = static_cast<ClassifyEntry**>(calloc(2, sizeof(ClassifyEntry*)));
    for (int i = 0; i < 2; ++i) {
        root->Entries[i] = static_cast<ClassifyEntry*>(calloc(1, sizeof(ClassifyEntry)));
        root->Entries[i]->Info =
            static_cast<ClassifyItemInfo*>(calloc(1, sizeof(ClassifyItemInfo)));
        root->Entries[i]->Info->ItemCount = 3;
        root->Entries[i]->Items = static_cast<unsigned char**>(calloc(3, sizeof(unsigned char*)));
        root->Entries[i]->Items[i] = static_cast<unsigned char*>(malloc(4));
    }
    DisposeClassifyRoot(root);  // leak-free under LeakSanitizer
}

}  // namespace
