// Record readers and file primitives: where records are found, and which code each kind of
// damage produces.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "FixedApi/ZyCommon.h"
#include "TarnWriter.h"
#include "support/SlideFixtures.h"
#include "support/TestFiles.h"

using tarntest::TempFile;
using tarnwriter::Bytes;
using tarnwriter::LayerSpec;
using tarnwriter::SlideSpec;

namespace {

// A slide of `layers` single-tile layers with gaps between the records.
SlideSpec Layers(uint32_t layers) {
    SlideSpec spec;
    spec.thumbnail = Bytes(64, 0x33);
    for (uint32_t k = 0; k < layers; ++k) {
        LayerSpec layer;
        layer.tiles = {Bytes(10 + k, static_cast<uint8_t>(k))};
        layer.gapBefore = 17 * k;
        spec.layers.push_back(layer);
    }
    return spec;
}

struct Stream {
    FILE* file;
    explicit Stream(const TempFile& f) : file(f.Open()) {}
    ~Stream() {
        if (file != nullptr) fclose(file);
    }
    operator FILE*() const { return file; }
};

struct MacroSlots {
    ZyMacrographInfo* records[macroNum] = {};
    unsigned char* jpegs[macroNum] = {};
    ~MacroSlots() {
        for (int i = 0; i < macroNum; ++i) {
            free(records[i]);
            free(jpegs[i]);
        }
    }
};

TEST(Records, WorkedExampleOffsets) {
    const tarnwriter::SlideFile slide = tarnwriter::BuildSlide(tarntest::WorkedExampleSpec());
    ASSERT_EQ(slide.layout.layerRecords[0], 17100U);
    const TempFile file(slide.bytes);
    Stream stream(file);

    ZyPicHead head{};
    EXPECT_EQ(ZyGetCurThumbnailOffset(stream, &head), 11978);
    EXPECT_EQ(ZyGetLayerOffset(stream, &head, 0), 17100);

    ZyPicInfo layer{};
    ASSERT_EQ(ZyGetPicInfoOfSpecifyLayer(stream, &layer, 0), 0);
    EXPECT_EQ(ZyFtelli64(stream), 17222);      // the tile size table follows the record
    EXPECT_EQ(uint32_t{layer.TileCount}, 6U);  // packed fields are copied, not bound
    EXPECT_EQ(uint32_t{layer.XCount}, 3U);

    MacroSlots slots;
    ASSERT_EQ(ZyGetMacrographInfoAndJpeg(stream, slots.records, slots.jpegs), 0);
    EXPECT_EQ(uint64_t{slots.records[0]->NextOffset}, 8855U);
    EXPECT_EQ(uint64_t{slots.records[1]->NextOffset}, 11978U);
    EXPECT_EQ(uint32_t{slots.records[1]->Width}, 1500U);
    EXPECT_EQ(slots.jpegs[0][999], 0x11);
    EXPECT_EQ(slots.jpegs[1][2999], 0x22);

    ZyPicInfo thumb{};
    int width = 0, height = 0;
    unsigned char* data = nullptr;
    ASSERT_EQ(ZyGetThumbnailInfoAndJpeg(stream, &thumb, &width, &height, &data), 0);
    EXPECT_EQ(width, 1024);
    EXPECT_EQ(height, 768);
    EXPECT_EQ(uint64_t{thumb.DataSize}, 5000U);
    EXPECT_EQ(data[4999], 0x33);
    free(data);
}

TEST(Records, LayerChainIsFollowedThroughGaps) {
    const tarnwriter::SlideFile slide = tarnwriter::BuildSlide(Layers(4));
    const TempFile file(slide.bytes);
    Stream stream(file);
    ZyPicHead head{};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(ZyGetLayerOffset(stream, &head, k),
                  static_cast<int64_t>(slide.layout.layerRecords[k]));
        ZyPicInfo layer{};
        ASSERT_EQ(ZyGetPicInfoOfSpecifyLayer(stream, &layer, k), 0);
        EXPECT_EQ(ZyFtelli64(stream), static_cast<int64_t>(slide.layout.tileTables[k]));
    }
    EXPECT_EQ(ZyGetLayerOffset(stream, &head, 4), ZY_E_LAYER);
    EXPECT_EQ(ZyGetLayerOffset(stream, &head, -1), ZY_E_LAYER);
    ZyPicInfo layer{};
    EXPECT_EQ(ZyGetPicInfoOfSpecifyLayer(stream, &layer, 4), ZY_E_LAYER);
}

// Records are linked by absolute offsets, so a writer may store the thumbnail after the layers.
TEST(Records, ThumbnailStoredAfterTheLayers) {
    tarnwriter::SlideFile slide = tarnwriter::BuildSlide(Layers(3));
    const uint64_t from = slide.layout.thumbnailRecord, moved = slide.bytes.size();
    const Bytes thumbnail(slide.bytes.begin() + static_cast<std::ptrdiff_t>(from),
                          slide.bytes.begin() + static_cast<std::ptrdiff_t>(from + 122 + 64));
    slide.bytes.insert(slide.bytes.end(), thumbnail.begin(), thumbnail.end());
    tarnwriter::PutU64(slide.bytes, slide.layout.macroRecords.back() + 43, moved);
    const TempFile file(slide.bytes);
    Stream stream(file);
    ZyPicHead head{};
    EXPECT_EQ(ZyGetCurThumbnailOffset(stream, &head), static_cast<int64_t>(moved));
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(ZyGetLayerOffset(stream, &head, k),
                  static_cast<int64_t>(slide.layout.layerRecords[k]));
}

TEST(Records, WithoutInformationAreaTheThumbnailFollowsTheHeader) {
    SlideSpec spec = Layers(1);
    spec.personInfo = false;
    spec.labels = false;
    const TempFile file(tarnwriter::BuildSlide(spec).bytes);
    Stream stream(file);

    ZyPicHead head{};
    EXPECT_EQ(ZyGetCurThumbnailOffset(stream, &head), 156);
    ZyPersonInfo person{};
    ZyExtraInfo extra{};
    MacroSlots slots;
    EXPECT_EQ(ZyGetPersonInfo(stream, &person), ZY_E_ABSENT);
    EXPECT_EQ(ZyGetExtraInfo(stream, &extra), ZY_E_ABSENT);
    EXPECT_EQ(ZyGetMacrographInfoAndJpeg(stream, slots.records, slots.jpegs), ZY_E_ABSENT);
    EXPECT_EQ(slots.records[0], nullptr);
    ZyPicInfo layer{};
    EXPECT_EQ(ZyGetPicInfoOfSpecifyLayer(stream, &layer, 0), 0);
}

TEST(Records, MacrographChainWithoutPersonFlagDoesNotMoveTheThumbnail) {
    SlideSpec spec = Layers(1);
    spec.personInfo = false;  // labels stay: the chain is read from its fixed place
    const tarnwriter::SlideFile slide = tarnwriter::BuildSlide(spec);
    const TempFile file(slide.bytes);
    Stream stream(file);
    ZyPicHead head{};
    EXPECT_EQ(ZyGetCurThumbnailOffset(stream, &head), 156);
    MacroSlots slots;
    EXPECT_EQ(ZyGetMacrographInfoAndJpeg(stream, slots.records, slots.jpegs), 0);
    EXPECT_EQ(ZyGetLayerOffset(stream, &head, 0),
              static_cast<int64_t>(slide.layout.layerRecords[0]));
}

TEST(Records, PersonFlagWithoutMacrographsLooksForTheThumbnailAt156) {
    SlideSpec spec = Layers(1);
    spec.labels = false;
    const TempFile file(tarnwriter::BuildSlide(spec).bytes);
    Stream stream(file);
    ZyPicHead head{};
    EXPECT_EQ(ZyGetCurThumbnailOffset(stream, &head), 156);
    ZyPicInfo thumb{};
    unsigned char* data = nullptr;
    // "PI" stands where "IF" is expected.
    EXPECT_EQ(ZyGetThumbnailInfoAndJpeg(stream, &thumb, nullptr, nullptr, &data), ZY_E_PIC_MAGIC);
    EXPECT_EQ(data, nullptr);
}

TEST(Records, HeaderChecksComeInOrder) {
    const TempFile empty(Bytes{});
    Stream stream(empty);
    EXPECT_EQ(ZyGetPicHead(stream, nullptr), ZY_E_EMPTY_FILE);
    EXPECT_EQ(ZyGetPicHead(nullptr, nullptr), ZY_E_EMPTY_FILE);
    ZyPersonInfo person{};
    EXPECT_EQ(ZyGetPersonInfo(stream, &person), ZY_E_EMPTY_FILE);
    EXPECT_EQ(ZyGetPersonInfo(stream, nullptr), ZY_E_NULL);
    EXPECT_EQ(ZyGetExtraInfo(stream, nullptr), ZY_E_NULL);

    Bytes bytes = tarnwriter::BuildSlide(Layers(1)).bytes;
    const TempFile good(bytes);
    Stream goodStream(good);
    EXPECT_EQ(ZyGetPicHead(goodStream, nullptr), ZY_E_NULL);

    bytes[1] = 'X';
    const TempFile bad(bytes);
    Stream badStream(bad);
    ZyPicHead head{};
    EXPECT_EQ(ZyGetPicHead(badStream, &head), ZY_E_HEAD_MAGIC);
    EXPECT_EQ(ZyGetCurThumbnailOffset(badStream, &head), ZY_E_HEAD_MAGIC);
    EXPECT_EQ(ZyGetLayerOffset(badStream, &head, 0), ZY_E_HEAD_MAGIC);
    EXPECT_EQ(ZyGetPersonInfo(badStream, &person), ZY_E_HEAD_MAGIC);
}

TEST(Records, ShortHeaderKeepsTheBuffersEarlierBytes) {
    const TempFile file(Bytes{'Z', 'Y', 7, 7});
    Stream stream(file);
    ZyPicHead head;
    memset(&head, 0xEE, sizeof head);
    EXPECT_EQ(ZyGetPicHead(stream, &head), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&head)[3], 7);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&head)[4], 0xEE);
}

TEST(Records, WrongMagicsGiveTheirCodes) {
    const tarnwriter::SlideFile slide = tarnwriter::BuildSlide(tarntest::WorkedExampleSpec());
    struct Case {
        const char* name;
        uint64_t offset;
        int expected;
        int (*read)(FILE*);
    };
    const Case cases[] = {
        {"person", 156, ZY_E_PERSON_MAGIC,
         [](FILE* f) {
             ZyPersonInfo p{};
             return ZyGetPersonInfo(f, &p);
         }},
        {"extra", 6964, ZY_E_EXTRA_MAGIC,
         [](FILE* f) {
             ZyExtraInfo e{};
             return ZyGetExtraInfo(f, &e);
         }},
        {"label", slide.layout.macroRecords[0], ZY_E_MACRO_MAGIC,
         [](FILE* f) {
             MacroSlots s;
             return ZyGetMacrographInfoAndJpeg(f, s.records, s.jpegs);
         }},
        {"macrograph before thumbnail", slide.layout.macroRecords[1], ZY_E_MACRO_MAGIC,
         [](FILE* f) {
             ZyPicHead h{};
             return static_cast<int>(ZyGetCurThumbnailOffset(f, &h));
         }},
        {"broken chain before layer index check", slide.layout.macroRecords[1], ZY_E_MACRO_MAGIC,
         [](FILE* f) {
             ZyPicHead h{};
             return static_cast<int>(ZyGetLayerOffset(f, &h, -1));
         }},
        {"thumbnail", slide.layout.thumbnailRecord, ZY_E_PIC_MAGIC,
         [](FILE* f) {
             ZyPicInfo t{};
             unsigned char* d = nullptr;
             return ZyGetThumbnailInfoAndJpeg(f, &t, nullptr, nullptr, &d);
         }},
        {"thumbnail on the layer walk", slide.layout.thumbnailRecord, ZY_E_PIC_MAGIC,
         [](FILE* f) {
             ZyPicInfo l{};
             return ZyGetPicInfoOfSpecifyLayer(f, &l, 0);
         }},
        {"layer", slide.layout.layerRecords[0], ZY_E_PIC_MAGIC,
         [](FILE* f) {
             ZyPicInfo l{};
             return ZyGetPicInfoOfSpecifyLayer(f, &l, 0);
         }},
    };
    for (const Case& c : cases) {
        Bytes bytes = slide.bytes;
        bytes[c.offset] = '?';
        const TempFile file(bytes);
        Stream stream(file);
        EXPECT_EQ(c.read(stream), c.expected) << c.name;
    }
}

TEST(Records, BrokenThumbnailStillReportsTheHeaderSize) {
    tarnwriter::SlideFile slide = tarnwriter::BuildSlide(tarntest::WorkedExampleSpec());
    slide.bytes[slide.layout.thumbnailRecord] = 'X';
    const TempFile file(slide.bytes);
    Stream stream(file);
    ZyPicInfo thumb{};
    int width = -1, height = -1;
    unsigned char* data = nullptr;
    EXPECT_EQ(ZyGetThumbnailInfoAndJpeg(stream, &thumb, &width, &height, &data), ZY_E_PIC_MAGIC);
    EXPECT_EQ(width, 1024);
    EXPECT_EQ(height, 768);
    EXPECT_EQ(data, nullptr);
}

TEST(Records, ExtraInformationNeedsBothFlags) {
    SlideSpec spec = Layers(1);
    spec.labels = false;
    spec.personInfo = false;
    Bytes bytes = tarnwriter::BuildSlide(spec).bytes;
    tarnwriter::PutU64(bytes, 88, 1);  // ExtraInfoFlag without PersonInfoFlag
    const TempFile file(bytes);
    Stream stream(file);
    ZyExtraInfo extra{};
    EXPECT_EQ(ZyGetExtraInfo(stream, &extra), ZY_E_ABSENT);
}

TEST(Records, ExtraInformationCarriesTheColourParameters) {
    SlideSpec spec = Layers(1);
    spec.gamma = 2.2F;
    spec.gains[0] = 1.1F;
    spec.colorMatrix[5] = -0.25F;
    const TempFile file(tarnwriter::BuildSlide(spec).bytes);
    Stream stream(file);
    ZyExtraInfo extra{};
    ASSERT_EQ(ZyGetExtraInfo(stream, &extra), 0);
    EXPECT_FLOAT_EQ(float{extra.Gamma}, 2.2F);
    EXPECT_FLOAT_EQ(float{extra.Gains[0]}, 1.1F);
    EXPECT_FLOAT_EQ(float{extra.ColorMatrix[5]}, -0.25F);
}

TEST(Records, TruncationsAreShortReads) {
    const tarnwriter::SlideFile slide = tarnwriter::BuildSlide(tarntest::WorkedExampleSpec());
    const auto& at = slide.layout;
    struct Case {
        const char* name;
        uint64_t length;
        int expected;
        int (*read)(FILE*);
    };
    auto macro = [](FILE* f) {
        MacroSlots s;
        return ZyGetMacrographInfoAndJpeg(f, s.records, s.jpegs);
    };
    auto thumb = [](FILE* f) {
        ZyPicInfo t{};
        unsigned char* d = nullptr;
        int code = ZyGetThumbnailInfoAndJpeg(f, &t, nullptr, nullptr, &d);
        free(d);
        return code;
    };
    auto layer = [](FILE* f) {
        ZyPicInfo l{};
        return ZyGetPicInfoOfSpecifyLayer(f, &l, 0);
    };
    const Case cases[] = {
        {"inside the label record", at.macroRecords[0] + 60, ZY_E_SHORT_READ, macro},
        {"inside the label bytes", at.macroData[0] + 999, ZY_E_SHORT_READ, macro},
        {"inside the macrograph bytes", at.macroData[1] + 10, ZY_E_SHORT_READ, macro},
        {"inside the thumbnail record", at.thumbnailRecord + 121, ZY_E_SHORT_READ, thumb},
        {"inside the thumbnail bytes", at.thumbnailData + 4999, ZY_E_SHORT_READ, thumb},
        {"macrograph head on the way to the thumbnail", at.macroRecords[1] + 5, ZY_E_SHORT_READ,
         thumb},
        {"thumbnail record on the layer walk", at.thumbnailRecord + 100, ZY_E_PIC_MAGIC, layer},
        {"inside the layer record", at.layerRecords[0] + 121, ZY_E_SHORT_READ, layer},
    };
    for (const Case& c : cases) {
        const TempFile file(Bytes(slide.bytes.begin(), slide.bytes.begin() + c.length));
        Stream stream(file);
        EXPECT_EQ(c.read(stream), c.expected) << c.name;
    }
}

TEST(Records, HugePayloadSizesAreRefusedBeforeAllocating) {
    const tarnwriter::SlideFile slide = tarnwriter::BuildSlide(tarntest::WorkedExampleSpec());
    for (uint64_t size : {uint64_t{1} << 62, ~uint64_t{0}, uint64_t{1000000}}) {
        Bytes bytes = slide.bytes;
        tarnwriter::PutU64(bytes, slide.layout.macroRecords[1] + 34, size);
        tarnwriter::PutU64(bytes, slide.layout.thumbnailRecord + 22, size);
        const TempFile file(bytes);
        Stream stream(file);
        MacroSlots slots;
        EXPECT_EQ(ZyGetMacrographInfoAndJpeg(stream, slots.records, slots.jpegs), ZY_E_SHORT_READ);
        EXPECT_NE(slots.jpegs[0], nullptr);  // the label read before the failure stays with us
        EXPECT_EQ(slots.jpegs[1], nullptr);
        ZyPicInfo thumb{};
        unsigned char* data = nullptr;
        EXPECT_EQ(ZyGetThumbnailInfoAndJpeg(stream, &thumb, nullptr, nullptr, &data),
                  ZY_E_SHORT_READ);
        EXPECT_EQ(data, nullptr);
    }
}

TEST(Records, NeverMoreThanTwoLabelSlots) {
    Bytes bytes = tarnwriter::BuildSlide(tarntest::WorkedExampleSpec()).bytes;
    tarnwriter::PutU32(bytes, 30, 3);
    const TempFile file(bytes);
    Stream stream(file);
    struct Guarded {
        ZyMacrographInfo* records[macroNum + 1] = {};
        unsigned char* jpegs[macroNum + 1] = {};
    } slots;
    EXPECT_EQ(ZyGetMacrographInfoAndJpeg(stream, slots.records, slots.jpegs), 0);
    EXPECT_EQ(slots.records[macroNum], nullptr);
    EXPECT_EQ(slots.jpegs[macroNum], nullptr);
    for (int i = 0; i < macroNum; ++i) {
        free(slots.records[i]);
        free(slots.jpegs[i]);
    }
}

TEST(Records, LoopingOrOutOfFileChainsEnd) {
    tarnwriter::SlideFile slide = tarnwriter::BuildSlide(Layers(2));
    Bytes looping = slide.bytes;
    // Layer 0 names itself as the next record; the header promises a million layers.
    tarnwriter::PutU64(looping, slide.layout.layerRecords[0] + 30, slide.layout.layerRecords[0]);
    tarnwriter::PutU32(looping, 38, 1000000);
    Bytes pastEnd = slide.bytes;
    tarnwriter::PutU32(pastEnd, 38, 1000000);
    tarnwriter::PutU64(pastEnd, slide.layout.thumbnailRecord + 30, uint64_t{1} << 63);
    for (const Bytes& bytes : {looping, pastEnd}) {
        const TempFile file(bytes);
        Stream stream(file);
        ZyPicHead head{};
        EXPECT_EQ(ZyGetLayerOffset(stream, &head, 999999), ZY_E_PIC_MAGIC);
    }
    const TempFile file(pastEnd);
    Stream stream(file);
    ZyPicHead head{};
    EXPECT_EQ(ZyGetLayerOffset(stream, &head, 1), ZY_E_PIC_MAGIC);
}

TEST(FileAccess, SizesPositionsAndPartialItems) {
    const TempFile empty(Bytes{});
    FILE* stream = empty.Open();
    EXPECT_EQ(ZyGetFileSize(stream), 0);
    EXPECT_EQ(ZyFtelli64(stream), 0);
    char buffer[200];
    EXPECT_EQ(ZyReadData(buffer, 1, 1, stream), 0);
    fclose(stream);
    EXPECT_EQ(ZyGetFileSize(nullptr), -1);
    EXPECT_EQ(ZyGetFileSizeSystemCall(const_cast<char*>(empty.c_str())), 0);
    EXPECT_EQ(ZyGetFileSizeSystemCall(const_cast<char*>("/nonexistent/file")), -1);

    const TempFile hundred(Bytes(100, 7));
    stream = hundred.Open();
    EXPECT_EQ(ZyGetFileSize(stream), 100);
    EXPECT_EQ(ZyReadData(buffer, 156, 1, stream), 0);  // a partial item does not count
    ZyRewind(stream);
    EXPECT_EQ(ZyReadData(buffer, 10, 20, stream), 10);
    const int64_t far = (int64_t{1} << 32) + 12345;
    EXPECT_EQ(ZyFseeki64(stream, far, SEEK_SET), 0);
    EXPECT_EQ(ZyFtelli64(stream), far);
    fclose(stream);

    EXPECT_EQ(Access(hundred.c_str(), 0), 0);
    EXPECT_EQ(Access("/nonexistent/file", 0), -1);
    ZyCloseFile(nullptr);
    ZyFreeMemory(nullptr);
    EXPECT_EQ(ZyOpenFile(const_cast<char*>("/nonexistent/file"), const_cast<char*>("rb")), nullptr);
}

}  // namespace
