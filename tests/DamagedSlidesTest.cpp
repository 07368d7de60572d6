// Damaged slides through the fixed interface: each case's outcome, then whatever opens is read in
// every way the library offers; under the sanitizers that must neither crash, leak, nor touch
// memory it does not own.
#include <gtest/gtest.h>

#include "support/DamagedSlides.h"
#include "support/TestFiles.h"

namespace {

using tarntest::Case;

// Everything a caller can ask of a slide, results discarded.
void ReadEverything(ZyTarnInfo* slide) {
    Dispose(GetDescription(slide));
    int w = 0, h = 0, size = 0;
    for (auto* get : {GetThumbnailJpeg, GetLabelJpeg, GetMacrographJpeg})
        Dispose(get(slide, &w, &h, &size));
    for (auto* get : {GetThumbnailAbgr, GetLabelAbgr, GetMacrographAbgr})
        Dispose(get(slide, &w, &h));
    const ZyPicHead& head = *slide->PicHead;
    if (uint64_t{head.TileWidth} * head.TileHeight > (1U << 20)) return;  // keep the suite quick
    for (uint32_t layer = 0; layer < head.Layer && layer < 4; ++layer) {
        const int l = static_cast<int>(layer);
        Dispose(GetLayerInfo(slide, l));
        const ZyPicInfo& record = *slide->PicInfos[layer];
        for (uint32_t y = 0; y < record.YCount && y < 4; ++y)
            for (uint32_t x = 0; x < record.XCount && x < 4; ++x) {
                Dispose(GetSliceJpeg(slide, l, int(x), int(y), &w, &h, &size));
                Dispose(GetSliceBgr(slide, l, int(x), int(y), &w, &h));
            }
        Dispose(GetRoiSliceJpeg(slide, l, int(head.TileWidth / 2), int(head.TileHeight / 2), 100,
                                60, &size));
        if (uint64_t{record.XCount} * record.YCount <= 64) {
            unsigned char* layerPixels = nullptr;
            ZySpecifyLayerJpeg2Rgb(slide, &layerPixels, &w, &h, l);
            Dispose(layerPixels);
            ZyImageInfo blocks[1] = {};
            ZyGetBlockJpegFromTarn(slide, blocks, 50, 1, 1, l, JCS_EXT_BGR);
            Dispose(blocks[0].Data);
        }
    }
}

class DamagedSlide : public testing::TestWithParam<Case> {};

TEST_P(DamagedSlide, HasItsOutcome) {
    const Case& c = GetParam();
    const tarntest::Deadline deadline(c.name, 60);
    const tarnwriter::Bytes bytes = tarntest::DamagedBytes(c);
    ASSERT_NE(bytes, tarntest::BaseSlide(c.base).bytes) << "the damage changed nothing";
    const tarntest::TempFile file(bytes);
    ZyTarnInfo* slide = ZyOpenTarn(file.c_str());
    ASSERT_EQ(slide != nullptr, c.opens) << (c.opens ? "should open" : "should not open");
    if (slide == nullptr) return;
    if (c.check) c.check(slide);
    ReadEverything(slide);
    ZyCloseTarn(slide);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedSlide, testing::ValuesIn(tarntest::DamagedCases()),
                         tarntest::CaseName);

TEST(DamagedSlides, AtLeastOneHundredAndFiftyCases) {
    EXPECT_GE(tarntest::DamagedCases().size(), 150U);
}

}  // namespace
