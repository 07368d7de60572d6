// tarn.h through the shared library: regions against the fixed interface's pixels, levels,
// properties, associated images, Deep Zoom tiles, errors and the thread cap.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DecodeTarn.h"
#include "TarnWriter.h"
#include "support/DamagedSlides.h"
#include "support/Memory.h"
#include "support/SlideFixtures.h"
#include "support/TestFiles.h"
#include "tarn.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr tarn_format kFormats[] = {TARN_FORMAT_RGBA, TARN_FORMAT_BGRA, TARN_FORMAT_RGB,
                                    TARN_FORMAT_BGR};

class Slide {
  public:
    explicit Slide(const std::string& path) : slide_(tarn_open(path.c_str())) {}
    ~Slide() { tarn_close(slide_); }
    Slide(const Slide&) = delete;
    Slide& operator=(const Slide&) = delete;
    tarn_slide* get() const { return slide_; }

  private:
    tarn_slide* slide_;
};

// The slide written from `spec`, for the length of a test.
struct SpecFile {
    explicit SpecFile(const tarnwriter::SlideSpec& spec)
        : file(tarnwriter::BuildSlide(spec).bytes) {}
    tarntest::TempFile file;
};

Bytes Read(tarn_slide* slide, int64_t x, int64_t y, int32_t level, int64_t w, int64_t h,
           tarn_format format, int* code) {
    Bytes out(static_cast<size_t>(w * h * tarn_format_bytes(format)), 0x5A);
    *code = tarn_read_region(slide, out.data(), x, y, level, w, h, format);
    return out;
}

// One blue-green-red pixel as `format` shows it.
void Put(const uint8_t* bgr, tarn_format format, uint8_t* out) {
    const bool redFirst = format == TARN_FORMAT_RGBA || format == TARN_FORMAT_RGB;
    out[0] = redFirst ? bgr[2] : bgr[0];
    out[1] = bgr[1];
    out[2] = redFirst ? bgr[0] : bgr[2];
    if (tarn_format_bytes(format) == 4) out[3] = 255;
}

// A level's whole grid as the fixed interface draws it, and its picture's size.
struct FixedLevel {
    Bytes grid;
    int64_t gridWidth = 0, gridHeight = 0, width = 0, height = 0;
};

FixedLevel FixedGrid(const std::string& path, int layer) {
    ZyTarnInfo* info = ZyOpenTarn(path.c_str());
    EXPECT_NE(info, nullptr);
    FixedLevel level;
    if (info == nullptr) return level;
    const ZyPicInfo& record = *info->PicInfos[layer];
    level.gridWidth = int64_t{info->PicHead->TileWidth} * record.XCount;
    level.gridHeight = int64_t{info->PicHead->TileHeight} * record.YCount;
    level.width = level.gridWidth - record.BoundWidth;
    level.height = level.gridHeight - record.BoundHeight;
    unsigned char* pixels = GetRoiSliceBgr(info, layer, 0, 0, static_cast<int>(level.gridWidth),
                                           static_cast<int>(level.gridHeight));
    EXPECT_NE(pixels, nullptr);
    if (pixels != nullptr)
        level.grid.assign(pixels, pixels + level.gridWidth * level.gridHeight * 3);
    Dispose(pixels);
    ZyCloseTarn(info);
    return level;
}

// What tarn_read_region must give for the w x h pixels at (left, top) of a level.
Bytes Expected(const FixedLevel& level, int64_t left, int64_t top, int64_t w, int64_t h,
               tarn_format format) {
    const int bpp = tarn_format_bytes(format);
    Bytes out(static_cast<size_t>(w * h * bpp), bpp == 4 ? 0 : 0xFF);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const int64_t px = left + x, py = top + y;
            if (px < 0 || py < 0 || px >= level.width || py >= level.height) continue;
            Put(&level.grid[static_cast<size_t>((py * level.gridWidth + px) * 3)], format,
                &out[static_cast<size_t>((y * w + x) * bpp)]);
        }
    return out;
}

// Regions of every kind on every level and in every layout equal the fixed interface's pixels
// inside the picture and are outside beyond it.
void ExpectRegionsMatch(const std::string& path) {
    Slide slide(path);
    ASSERT_NE(slide.get(), nullptr) << tarn_get_error(nullptr);
    for (int32_t level = 0; level < tarn_get_level_count(slide.get()); ++level) {
        const FixedLevel fixed = FixedGrid(path, level);
        int64_t w = 0, h = 0;
        tarn_get_level_dimensions(slide.get(), level, &w, &h);
        ASSERT_EQ(w, fixed.width);
        ASSERT_EQ(h, fixed.height);
        const double downsample = tarn_get_level_downsample(slide.get(), level);
        struct Rect {
            int64_t x, y, w, h;  // level pixels
        };
        const Rect rects[] = {
            {0, 0, w, h},             // the whole picture
            {0, 0, 1, 1},             // one pixel
            {w / 3, h / 4, 77, 53},   // across tiles, odd sizes
            {w - 20, h - 9, 61, 33},  // past the right and bottom, over the bound margin
            {-13, -7, 40, 30},        // from before the top-left corner
            {-5, h / 2, w + 10, 3},   // wider than the picture
            {w + 100, 0, 9, 9},       // wholly outside
            {3, -50, 7, 20},          // wholly above
        };
        for (const Rect& r : rects)
            for (tarn_format format : kFormats) {
                // Level-0 coordinates that land on the wanted level pixel.
                const auto x0 =
                    static_cast<int64_t>(std::ceil(static_cast<double>(r.x) * downsample));
                const auto y0 =
                    static_cast<int64_t>(std::ceil(static_cast<double>(r.y) * downsample));
                const auto left = static_cast<int64_t>(std::floor(x0 / downsample));
                const auto top = static_cast<int64_t>(std::floor(y0 / downsample));
                int code = -1;
                const Bytes got = Read(slide.get(), x0, y0, level, r.w, r.h, format, &code);
                ASSERT_EQ(code, 0) << tarn_get_error(slide.get());
                EXPECT_EQ(got, Expected(fixed, left, top, r.w, r.h, format))
                    << path << " level " << level << " at " << left << "," << top << " " << r.w
                    << "x" << r.h << " format " << format;
            }
    }
}

TEST(TarnRegion, EqualsTheFixedInterfaceInsideThePictureOnJpegAndHevcSlides) {
    ExpectRegionsMatch(tarntest::JpegSlidePath());
    ExpectRegionsMatch(tarntest::HevcSlidePath(false));
    const SpecFile sample(tarnwriter::SampleSpec(3, 2, 3));
    ExpectRegionsMatch(sample.file.path());
}

TEST(TarnRegion, FarCoordinatesAndSizeLimits) {
    Slide slide(tarntest::JpegSlidePath());
    ASSERT_NE(slide.get(), nullptr);
    tarn_slide* s = slide.get();
    int code = -1;
    for (const int64_t far : {INT64_MAX, INT64_MIN, INT64_MAX - 3, int64_t{1} << 40})
        for (int32_t level : {0, 1}) {
            EXPECT_EQ(Read(s, far, far, level, 5, 3, TARN_FORMAT_RGBA, &code), Bytes(60, 0));
            EXPECT_EQ(code, 0) << far;
            EXPECT_EQ(Read(s, 0, far, level, 2, 2, TARN_FORMAT_BGR, &code), Bytes(12, 0xFF));
            EXPECT_EQ(code, 0) << far;
        }
    uint8_t byte = 0x5A;
    // Empty regions write nothing; impossible ones fail with a reason and leave the slide usable.
    EXPECT_EQ(tarn_read_region(s, &byte, 0, 0, 0, 0, 10, TARN_FORMAT_RGBA), 0);
    EXPECT_EQ(tarn_read_region(s, nullptr, 0, 0, 0, 10, 0, TARN_FORMAT_RGBA), 0);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(tarn_get_error(s), nullptr);
    const struct {
        int64_t w, h;
        int32_t level;
        int format;
        const char* message;
    } failures[] = {
        {INT64_MAX, INT64_MAX, 0, TARN_FORMAT_RGBA, "does not fit in memory"},
        {int64_t{1} << 31, int64_t{1} << 31, 0, TARN_FORMAT_RGB, "does not fit in memory"},
        {-1, 5, 0, TARN_FORMAT_RGBA, "negative"},
        {1, 1, 2, TARN_FORMAT_RGBA, "level 2 does not exist"},
        {1, 1, -1, TARN_FORMAT_RGBA, "level -1 does not exist"},
        {1, 1, 0, 9, "unknown pixel format 9"},
    };
    for (const auto& f : failures) {
        EXPECT_EQ(
            tarn_read_region(s, &byte, 0, 0, f.level, f.w, f.h, static_cast<tarn_format>(f.format)),
            -1);
        ASSERT_NE(tarn_get_error(s), nullptr);
        EXPECT_NE(std::string(tarn_get_error(s)).find(f.message), std::string::npos)
            << tarn_get_error(s);
    }
    uint8_t pixel[3];
    EXPECT_EQ(tarn_read_region(s, pixel, 10, 10, 0, 1, 1, TARN_FORMAT_BGR), 0);
    EXPECT_EQ(tarn_get_error(s), nullptr);
}

TEST(TarnRegion, AFailedReadSaysWhyAndLeavesTheSlideUsable) {
    const tarntest::TempFile file(tarntest::WithBrokenTile(tarntest::JpegSlide(), 2));
    Slide slide(file.path());
    ASSERT_NE(slide.get(), nullptr);
    int code = 0;
    Read(slide.get(), 2 * 128 + 5, 5, 0, 10, 10, TARN_FORMAT_RGBA, &code);
    EXPECT_EQ(code, -1);
    ASSERT_NE(tarn_get_error(slide.get()), nullptr);
    EXPECT_NE(std::string(tarn_get_error(slide.get())).find("does not decode"), std::string::npos);
    // The message belongs to this thread.
    std::thread([&] { EXPECT_EQ(tarn_get_error(slide.get()), nullptr); }).join();
    Read(slide.get(), 5, 5, 0, 10, 10, TARN_FORMAT_RGBA, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(tarn_get_error(slide.get()), nullptr);
}

TEST(TarnSlide, OpenFailuresSayWhyAndOpeningLeavesColorTableAlone) {
    EXPECT_EQ(tarn_open(nullptr), nullptr);
    EXPECT_STREQ(tarn_get_error(nullptr), "no file name given");
    const std::string missing = tarntest::TestDirectory() + "/missing.tarn";
    EXPECT_EQ(tarn_open(missing.c_str()), nullptr);
    EXPECT_EQ(std::string(tarn_get_error(nullptr)),
              "cannot open " + missing + ": No such file or directory");
    const tarntest::TempFile garbage(Bytes(4096, 'x'));
    EXPECT_EQ(tarn_open(garbage.c_str()), nullptr);
    EXPECT_NE(std::string(tarn_get_error(nullptr)).find("not a readable Tarn slide"),
              std::string::npos);
    // A bound area as large as the grid leaves a level without a picture.
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(2, 2, 2);
    spec.layers[1].boundWidth = spec.layers[1].xCount * spec.tileWidth;
    const SpecFile noPicture(spec);
    EXPECT_EQ(tarn_open(noPicture.file.c_str()), nullptr);
    EXPECT_NE(std::string(tarn_get_error(nullptr)).find("level 1 has no picture"),
              std::string::npos)
        << tarn_get_error(nullptr);
    // Another thread has its own open error.
    std::thread([] { EXPECT_EQ(tarn_get_error(nullptr), nullptr); }).join();

    ZyTarnInfo* fixed = ZyOpenTarn(tarntest::HevcSlidePath(true).c_str());
    ColorCorrectTable* const published = ColorTable;
    ASSERT_NE(published, nullptr);
    tarn_slide* slide = tarn_open(tarntest::JpegSlidePath().c_str());
    ASSERT_NE(slide, nullptr);
    EXPECT_EQ(tarn_get_error(nullptr), nullptr);
    EXPECT_EQ(ColorTable, published);
    tarn_close(slide);
    EXPECT_EQ(ColorTable, published);
    ZyCloseTarn(fixed);
    tarn_close(nullptr);
}

TEST(TarnSlide, LevelsAndDownsamples) {
    // Halving layers of odd sizes: the header's ratio 2 holds within a pixel.
    const SpecFile sample(tarnwriter::SampleSpec(3, 2, 3));
    Slide halving(sample.file.path());
    ASSERT_NE(halving.get(), nullptr);
    EXPECT_EQ(tarn_get_level_count(halving.get()), 3);
    int64_t w = 0, h = 0;
    tarn_get_level0_dimensions(halving.get(), &w, &h);
    EXPECT_EQ(w, 3 * 256 - 37);
    EXPECT_EQ(h, 2 * 256 - 21);
    tarn_get_level_dimensions(halving.get(), 2, &w, &h);
    EXPECT_EQ(w, (3 * 256 - 37) / 4);
    EXPECT_EQ(h, (2 * 256 - 21) / 4);
    EXPECT_EQ(tarn_get_level_downsample(halving.get(), 1), 2.0);
    EXPECT_EQ(tarn_get_level_downsample(halving.get(), 2), 4.0);
    const std::pair<double, int32_t> best[] = {{0.5, 0}, {1, 0}, {1.99, 0}, {2, 1},
                                               {3.9, 1}, {4, 2}, {100, 2}};
    for (const auto& [downsample, level] : best)
        EXPECT_EQ(tarn_get_best_level_for_downsample(halving.get(), downsample), level)
            << downsample;
    tarn_get_level_dimensions(halving.get(), 3, &w, &h);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(tarn_get_level_downsample(halving.get(), 3), -1);
    EXPECT_NE(tarn_get_error(halving.get()), nullptr);

    // Layers that do not halve: OpenSlide's measured mean. Level 1 is 226 x 192 under 462 x 268.
    Slide uneven(tarntest::JpegSlidePath());
    ASSERT_NE(uneven.get(), nullptr);
    EXPECT_DOUBLE_EQ(tarn_get_level_downsample(uneven.get(), 1),
                     (462.0 / 226.0 + 268.0 / 192.0) / 2);
    EXPECT_EQ(tarn_get_level_count(nullptr), -1);
    EXPECT_EQ(tarn_get_best_level_for_downsample(nullptr, 2), -1);
}

std::map<std::string, std::string> PropertiesOf(tarn_slide* slide) {
    std::map<std::string, std::string> properties;
    for (const char* const* name = tarn_get_property_names(slide); *name != nullptr; ++name)
        properties[*name] = tarn_get_property_value(slide, *name);
    return properties;
}

TEST(TarnSlide, PropertiesNameEveryFieldAndOpenSlidesStandardOnes) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(4, 3, 2);
    spec.mpp = 0.2425;
    spec.appMag = 20;
    spec.layers[0].emptyTiles = {0, 4, 8, 9, 10, 11};  // the first column and the bottom row
    const SpecFile file(spec);
    Slide slide(file.file.path());
    ASSERT_NE(slide.get(), nullptr);
    const auto properties = PropertiesOf(slide.get());
    const std::map<std::string, std::string> expected = {
        {"openslide.vendor", "tarn"},
        {"openslide.mpp-x", "0.24249999999999999"},  // "%.17g", as OpenSlide prints doubles
        {"openslide.mpp-y", "0.24249999999999999"},
        {"openslide.objective-power", "20"},
        {"openslide.bounds-x", "256"},
        {"openslide.bounds-y", "0"},
        {"openslide.bounds-width", std::to_string(4 * 256 - 37 - 256)},
        {"openslide.bounds-height", "512"},
        {"openslide.level-count", "2"},
        {"openslide.level[0].width", "987"},
        {"openslide.level[0].height", "747"},
        {"openslide.level[0].downsample", "1"},
        {"openslide.level[0].tile-width", "256"},
        {"openslide.level[0].tile-height", "256"},
        {"openslide.level[1].width", "493"},
        {"openslide.level[1].downsample", "2"},
        {"tarn.CompressionType", "Jpeg"},
        {"tarn.Layer", "2"},
        {"tarn.layer[0].XCount", "4"},
        {"tarn.layer[0].BoundWidth", "37"},
        {"tarn.layer[1].TileCount", "4"},
    };
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(properties.count(name)) << name;
        EXPECT_EQ(properties.at(name), value) << name;
    }
    // Every field of the description, with the description's text.
    ZyTarnInfo* fixed = ZyOpenTarn(file.file.c_str());
    char* description = GetDescription(fixed);
    std::string text(description);
    Dispose(description);
    ZyCloseTarn(fixed);
    for (size_t start = 0; start < text.size();) {
        const size_t bar = std::min(text.find('|', start), text.size());
        const std::string field = text.substr(start, bar - start);
        const size_t equals = field.find('=');
        EXPECT_EQ(properties.at("tarn." + field.substr(0, equals)), field.substr(equals + 1));
        start = bar + 1;
    }
    EXPECT_EQ(tarn_get_property_value(slide.get(), "openslide.missing"), nullptr);
    EXPECT_EQ(tarn_get_error(slide.get()), nullptr);
    EXPECT_EQ(tarn_get_property_value(slide.get(), nullptr), nullptr);
    EXPECT_NE(tarn_get_error(slide.get()), nullptr);

    // No stored tile: no bounds.
    tarnwriter::SlideSpec empty = tarnwriter::SampleSpec(2, 1, 1);
    empty.layers[0].emptyTiles = {0, 1};
    const SpecFile emptyFile(empty);
    Slide blank(emptyFile.file.path());
    ASSERT_NE(blank.get(), nullptr);
    EXPECT_EQ(tarn_get_property_value(blank.get(), "openslide.bounds-x"), nullptr);
}

TEST(TarnSlide, AssociatedImagesInEveryLayout) {
    Slide slide(tarntest::JpegSlidePath());
    ASSERT_NE(slide.get(), nullptr);
    const char* const* names = tarn_get_associated_image_names(slide.get());
    std::vector<std::string> listed(names, names + 3);
    EXPECT_EQ(listed, (std::vector<std::string>{"label", "macro", "thumbnail"}));
    EXPECT_EQ(names[3], nullptr);

    ZyTarnInfo* fixed = ZyOpenTarn(tarntest::JpegSlidePath().c_str());
    const ZyImageInfo* images[] = {fixed->MacroImages[0], fixed->MacroImages[1], fixed->ThumbImage};
    for (int i = 0; i < 3; ++i) {
        int64_t w = 0, h = 0;
        tarn_get_associated_image_dimensions(slide.get(), listed[i].c_str(), &w, &h);
        ASSERT_EQ(w, images[i]->Width);
        ASSERT_EQ(h, images[i]->Height);
        for (tarn_format format : kFormats) {
            const int bpp = tarn_format_bytes(format);
            Bytes got(static_cast<size_t>(w * h * bpp)), expected(got.size());
            ASSERT_EQ(
                tarn_read_associated_image(slide.get(), listed[i].c_str(), got.data(), format), 0);
            for (int64_t p = 0; p < w * h; ++p)
                Put(images[i]->Pixels + p * 3, format, &expected[static_cast<size_t>(p * bpp)]);
            EXPECT_EQ(got, expected) << listed[i] << " format " << format;
        }
    }
    ZyCloseTarn(fixed);
    int64_t w = 0, h = 0;
    tarn_get_associated_image_dimensions(slide.get(), "overview", &w, &h);
    EXPECT_EQ(w, -1);
    EXPECT_NE(std::string(tarn_get_error(slide.get())).find("no associated image \"overview\""),
              std::string::npos);

    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.labels = false;
    spec.personInfo = false;  // a slide without labels has no person record either
    const SpecFile unlabelled(spec);
    Slide plain(unlabelled.file.path());
    ASSERT_NE(plain.get(), nullptr) << tarn_get_error(nullptr);
    names = tarn_get_associated_image_names(plain.get());
    EXPECT_STREQ(names[0], "thumbnail");
    EXPECT_EQ(names[1], nullptr);
}

// Export tiles inside the grid are the fixed interface's region JPEGs, byte for byte, on every
// level, including the last column and row that reach into the bound area.
TEST(TarnExportTile, EqualsTheFixedInterfacesRegionJpegs) {
    const std::string& path = tarntest::JpegSlidePath();
    Slide slide(path);
    ZyTarnInfo* fixed = ZyOpenTarn(path.c_str());
    ASSERT_NE(fixed, nullptr);
    for (int32_t level = 0; level < tarn_get_level_count(slide.get()); ++level) {
        int64_t w = 0, h = 0;
        tarn_get_level_dimensions(slide.get(), level, &w, &h);
        // (the fixed interface refuses regions larger than the grid)
        const int64_t tile = std::min<int64_t>({200, w, h});
        const int64_t columns = (w + tile - 1) / tile, rows = (h + tile - 1) / tile;
        for (const auto& [c, r] :
             {std::pair{0LL, 0LL}, {columns - 1, rows - 1}, {columns / 2, 0}}) {
            uint8_t* jpeg = nullptr;
            size_t size = 0;
            ASSERT_EQ(
                tarn_read_export_tile_jpeg(slide.get(), level, c, r, tile, tile, &jpeg, &size), 0)
                << tarn_get_error(slide.get());
            int expectedSize = 0;
            unsigned char* expected = GetRoiSliceJpeg(
                fixed, level, static_cast<int>(c * tile), static_cast<int>(r * tile),
                static_cast<int>(tile), static_cast<int>(tile), &expectedSize);
            ASSERT_NE(expected, nullptr);
            EXPECT_TRUE(Bytes(jpeg, jpeg + size) == Bytes(expected, expected + expectedSize))
                << "level " << level << " tile " << c << "," << r;
            Dispose(expected);
            tarn_free(jpeg);
        }
    }
    ZyCloseTarn(fixed);
    uint8_t* jpeg = nullptr;
    size_t size = 0;
    EXPECT_EQ(tarn_read_export_tile_jpeg(slide.get(), 0, 1000, 0, 512, 512, &jpeg, &size), -1);
    EXPECT_EQ(tarn_read_export_tile_jpeg(slide.get(), 0, 0, 0, 0, 512, &jpeg, &size), -1);
    EXPECT_EQ(tarn_read_export_tile_jpeg(slide.get(), 0, 0, 0, 65501, 1, &jpeg, &size), -1);
    EXPECT_EQ(jpeg, nullptr);
}

// Level coordinates read what level-0 coordinates read; stored tiles are the fixed interface's
// bytes and pixels, empty ones none and white.
TEST(TarnLevelReads, LevelRegionsStoredTilesAndTilePixels) {
    const std::string& path = tarntest::JpegSlidePath();
    Slide slide(path);
    ZyTarnInfo* fixed = ZyOpenTarn(path.c_str());
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(tarn_get_tile_codec(slide.get()), TARN_CODEC_JPEG);
    EXPECT_EQ(tarn_get_tile_codec(nullptr), TARN_CODEC_UNKNOWN);
    const int32_t last = tarn_get_level_count(slide.get()) - 1;
    int code = -1;
    const double downsample = tarn_get_level_downsample(slide.get(), last);
    const Bytes byLevel0 = Read(slide.get(), static_cast<int64_t>(std::ceil(33 * downsample)),
                                static_cast<int64_t>(std::ceil(-5 * downsample)), last, 70, 40,
                                TARN_FORMAT_RGBA, &code);
    Bytes byLevel(byLevel0.size());
    EXPECT_EQ(
        tarn_read_level_region(slide.get(), byLevel.data(), last, 33, -5, 70, 40, TARN_FORMAT_RGBA),
        0);
    EXPECT_EQ(byLevel, byLevel0);

    int64_t tileW = 0, tileH = 0, cols = 0, rows = 0;
    ASSERT_EQ(tarn_get_level_tile_grid(slide.get(), last, &tileW, &tileH, &cols, &rows), 0);
    // Packed fields are copied out: a reference to one would be misaligned.
    EXPECT_EQ(cols, int64_t{fixed->PicInfos[last]->XCount});
    EXPECT_EQ(rows, int64_t{fixed->PicInfos[last]->YCount});
    EXPECT_EQ(tileW, int64_t{fixed->PicHead->TileWidth});
    bool sawEmpty = false, sawStored = false;
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < cols; ++c) {
            uint8_t* data = nullptr;
            size_t size = 7;
            ASSERT_EQ(tarn_read_stored_tile(slide.get(), last, c, r, &data, &size), 0);
            unsigned char* stored = nullptr;
            int storedSize = 0;
            ASSERT_EQ(ZyGetHevcSliceOfSpecifyLayer(fixed, &stored, &storedSize, last,
                                                   static_cast<int>(c), static_cast<int>(r)),
                      0);
            EXPECT_EQ(Bytes(data, data + size), Bytes(stored, stored + storedSize));
            Bytes pixels(static_cast<size_t>(tileW * tileH * 3));
            ASSERT_EQ(tarn_read_tile(slide.get(), last, c, r, pixels.data(), TARN_FORMAT_BGR), 0);
            if (data == nullptr) {
                sawEmpty = true;
                EXPECT_EQ(size, 0U);
                EXPECT_EQ(pixels, Bytes(pixels.size(), 0xFF));
            } else {
                sawStored = true;
                unsigned char* bgr = GetSliceBgr(fixed, last, static_cast<int>(c),
                                                 static_cast<int>(r), nullptr, nullptr);
                ASSERT_NE(bgr, nullptr);
                EXPECT_EQ(pixels, Bytes(bgr, bgr + pixels.size()));
                Dispose(bgr);
            }
            tarn_free(data);
            Dispose(stored);
        }
    EXPECT_TRUE(sawStored);
    (void)sawEmpty;
    // The label's stored JPEG, as the fixed interface hands it out.
    int labelSize = 0;
    unsigned char* label = GetLabelJpeg(fixed, nullptr, nullptr, &labelSize);
    uint8_t* stored = nullptr;
    size_t storedSize = 0;
    tarn_codec codec = TARN_CODEC_UNKNOWN;
    ASSERT_EQ(tarn_read_associated_image_stored(slide.get(), "label", &stored, &storedSize, &codec),
              0);
    EXPECT_EQ(codec, TARN_CODEC_JPEG);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(Bytes(stored, stored + storedSize), Bytes(label, label + labelSize));
    tarn_free(stored);
    Dispose(label);
    EXPECT_EQ(
        tarn_read_associated_image_stored(slide.get(), "nothing", &stored, &storedSize, nullptr),
        -1);
    ZyCloseTarn(fixed);
    uint8_t* data = nullptr;
    size_t size = 0;
    EXPECT_EQ(tarn_read_stored_tile(slide.get(), last, cols, 0, &data, &size), -1);
    EXPECT_EQ(tarn_read_stored_tile(slide.get(), last + 1, 0, 0, &data, &size), -1);
    EXPECT_EQ(tarn_get_level_tile_grid(slide.get(), -1, &tileW, nullptr, nullptr, &rows), -1);
    EXPECT_EQ(tileW, -1);
}

// Coarse levels halve the coarsest level down to one 256-pixel tile; each pixel is the mean of
// the pixels it covers.
TEST(TarnLevelReads, CoarseLevelsAreMeansOfTheCoarsestLevel) {
    const SpecFile sample(tarnwriter::SampleSpec(6, 5, 1));  // one layer of 1536 x 1280 or so
    Slide slide(sample.file.path());
    ASSERT_NE(slide.get(), nullptr);
    int64_t w = 0, h = 0;
    tarn_get_level_dimensions(slide.get(), 0, &w, &h);
    const int32_t count = tarn_get_coarse_level_count(slide.get());
    int32_t expectedCount = 0;
    while (((w + (int64_t{1} << expectedCount) - 1) >> expectedCount) > 256 ||
           ((h + (int64_t{1} << expectedCount) - 1) >> expectedCount) > 256)
        ++expectedCount;
    ASSERT_EQ(count, expectedCount);
    ASSERT_GE(count, 2);
    EXPECT_EQ(tarn_wait_coarse_levels(slide.get(), 0), 1);
    Bytes level0(static_cast<size_t>(w * h * 3));
    ASSERT_EQ(tarn_read_level_region(slide.get(), level0.data(), 0, 0, 0, w, h, TARN_FORMAT_RGB),
              0);
    for (int32_t k = 1; k <= count; ++k) {
        int64_t cw = 0, ch = 0;
        tarn_get_coarse_level_dimensions(slide.get(), k, &cw, &ch);
        const int64_t f = int64_t{1} << k;
        ASSERT_EQ(cw, (w + f - 1) / f);
        Bytes got(static_cast<size_t>((cw + 2) * ch * 4));
        // One column past each side: transparent outside.
        ASSERT_EQ(tarn_read_coarse_region(slide.get(), got.data(), k, -1, 0, cw + 2, ch,
                                          TARN_FORMAT_RGBA),
                  0)
            << tarn_get_error(slide.get());
        for (int64_t y = 0; y < ch; y += 7)
            for (int64_t x = 0; x < cw; x += 5) {
                const uint8_t* pixel = &got[static_cast<size_t>((y * (cw + 2) + x + 1) * 4)];
                for (int c = 0; c < 3; ++c) {
                    uint64_t sum = 0, n = 0;
                    for (int64_t py = y * f; py < std::min(h, (y + 1) * f); ++py)
                        for (int64_t px = x * f; px < std::min(w, (x + 1) * f); ++px, ++n)
                            sum += level0[static_cast<size_t>((py * w + px) * 3 + c)];
                    ASSERT_EQ(pixel[c], (sum + n / 2) / n) << k << " " << x << "," << y;
                }
                ASSERT_EQ(pixel[3], 255);
            }
        EXPECT_EQ(got[0], 0);
        EXPECT_EQ(got[3], 0);
    }
    Bytes pixel(4);
    EXPECT_EQ(
        tarn_read_coarse_region(slide.get(), pixel.data(), count + 1, 0, 0, 1, 1, TARN_FORMAT_RGBA),
        -1);
    EXPECT_EQ(tarn_read_coarse_region(slide.get(), pixel.data(), 0, 0, 0, 1, 1, TARN_FORMAT_RGBA),
              -1);
}

// A tile that does not decode fails only the reads that touch it: the coarse levels are built
// around it, white there, instead of leaving every zoomed-out read to the whole level again.
TEST(TarnLevelReads, CoarseLevelsAreBuiltAroundATileThatDoesNotDecode) {
    tarnwriter::SlideFile built = tarnwriter::BuildSlide(tarnwriter::SampleSpec(10, 10, 1));
    const size_t broken = 11;  // tile (1, 1): pixels [256, 512) of the one layer
    std::fill_n(built.bytes.begin() + static_cast<ptrdiff_t>(built.layout.tileOffsets[0][broken]),
                built.layout.tileSizes[0][broken], uint8_t{0});
    const tarntest::TempFile file(built.bytes);
    Slide slide(file.path());
    ASSERT_NE(slide.get(), nullptr);
    ASSERT_EQ(tarn_wait_coarse_levels(slide.get(), -1), 1);
    Bytes square(128 * 128 * 3);
    ASSERT_EQ(
        tarn_read_coarse_region(slide.get(), square.data(), 1, 128, 128, 128, 128, TARN_FORMAT_RGB),
        0)
        << tarn_get_error(slide.get());
    EXPECT_GE(*std::min_element(square.begin(), square.end()), 240);  // white, as JPEG keeps it
    ASSERT_EQ(
        tarn_read_coarse_region(slide.get(), square.data(), 1, 0, 0, 128, 128, TARN_FORMAT_RGB), 0);
    EXPECT_LT(*std::min_element(square.begin(), square.end()), 200);
    int code = 0;
    Read(slide.get(), 256, 256, 0, 8, 8, TARN_FORMAT_RGB, &code);
    EXPECT_EQ(code, -1);
}

// Records that claim gigabytes cost no memory for the claim, where that much could not be had
// (the child runs with its address space capped): a layer of one row of two tiles whose table
// claims 150 million entries, in a sparse file long enough to hold them, is refused at its
// record; a header that promises tiles of 23170 x 23170 pixels over small stored JPEGs fails a
// read as a tile of another size, once the JPEG's own header is read.
TEST(TarnSlide, RecordsThatClaimGigabytesCostNoMemoryForTheClaim) {
    if (tarntest::MemoryIsInstrumented())
        GTEST_SKIP() << "memory is managed by the instrumentation";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto& cases = tarntest::DamagedCases();
    const auto found = std::find_if(cases.begin(), cases.end(), [](const tarntest::Case& c) {
        return c.name == "tile_size_claims_huge";
    });
    ASSERT_NE(found, cases.end());
    const tarntest::TempFile hugeTiles(tarntest::DamagedBytes(*found));
    const tarnwriter::SlideFile& base = tarntest::BaseSlide(tarntest::Base::Jpeg);
    Bytes bytes = base.bytes;
    const uint32_t claimed = 150'000'000;
    tarnwriter::PutU32(bytes, base.layout.layerRecords[1] + 10, claimed);
    const tarntest::TempFile hugeTable(bytes);
    ASSERT_EQ(truncate(hugeTable.c_str(), static_cast<off_t>(bytes.size() + 4 * uint64_t{claimed})),
              0);
    EXPECT_EXIT(
        {
            tarntest::CapAddressSpace(size_t{512} << 20);
            const bool refused = tarn_open(hugeTable.c_str()) == nullptr &&
                                 strstr(tarn_get_error(nullptr), "out of memory") == nullptr;
            fprintf(stderr, "%s\n", tarn_get_error(nullptr));
            tarn_slide* slide = tarn_open(hugeTiles.c_str());
            Bytes pixels(32 * 32 * 3);
            const bool failed = slide != nullptr && tarn_read_region(slide, pixels.data(), 0, 0, 0,
                                                                     32, 32, TARN_FORMAT_RGB) == -1;
            const char* why = slide != nullptr ? tarn_get_error(slide) : nullptr;
            if (why != nullptr) fprintf(stderr, "%s\n", why);
            exit(refused && failed && why != nullptr && strstr(why, "64 x 48") != nullptr ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(TarnDeepZoom, TilesAreTheRegionsTheyReadScaledByTheBoxFilter) {
    const SpecFile sample(tarnwriter::SampleSpec(3, 2, 2));  // 731 x 491 over 365 x 245
    Slide slide(sample.file.path());
    ASSERT_NE(slide.get(), nullptr);
    tarn_deepzoom* dz = tarn_deepzoom_create(slide.get(), 254, 1, 0);
    ASSERT_NE(dz, nullptr);
    const int32_t levels = tarn_deepzoom_get_level_count(dz);
    ASSERT_EQ(levels, 11);  // 731 halves ten times to 1

    // The full-resolution level reads tiles as they are: pixels of the region, white outside.
    tarn_deepzoom_tile tile{};
    ASSERT_EQ(tarn_deepzoom_get_tile_info(dz, levels - 1, 2, 1, &tile), 0);
    EXPECT_EQ(tile.x, 507);
    EXPECT_EQ(tile.tile_width, 731 - 508 + 1);
    EXPECT_EQ(tile.width, tile.tile_width);
    for (tarn_format format : kFormats) {
        int code = -1;
        const Bytes expected =
            Read(slide.get(), tile.x, tile.y, tile.level, tile.width, tile.height, format, &code);
        ASSERT_EQ(code, 0);
        Bytes got(expected.size());
        ASSERT_EQ(tarn_deepzoom_read_tile(dz, levels - 1, 2, 1, got.data(), format), 0);
        EXPECT_EQ(got, expected) << format;
    }
    // Level 8 of 1024 x 512 over 512 x 256 reads slide level 1 at half its scale: the box filter
    // gives 2 x 2 means, rounded half up.
    tarnwriter::SlideSpec evenSpec = tarnwriter::SampleSpec(4, 2, 2);
    evenSpec.layers[0].boundWidth = evenSpec.layers[0].boundHeight = 0;
    evenSpec.layers[1].boundWidth = evenSpec.layers[1].boundHeight = 0;
    const SpecFile evenFile(evenSpec);
    Slide even(evenFile.file.path());
    tarn_deepzoom* evenZoom = tarn_deepzoom_create(even.get(), 254, 1, 0);
    ASSERT_EQ(tarn_deepzoom_get_tile_info(evenZoom, 8, 0, 0, &tile), 0);
    EXPECT_EQ(tile.level, 1);
    EXPECT_EQ(tile.tile_width, 255);
    EXPECT_EQ(tile.tile_height, 128);
    EXPECT_EQ(tile.width, 510);
    EXPECT_EQ(tile.height, 256);
    int code = -1;
    const Bytes area = Read(even.get(), 0, 0, 1, tile.width, tile.height, TARN_FORMAT_RGB, &code);
    Bytes got(static_cast<size_t>(tile.tile_width * tile.tile_height * 3));
    ASSERT_EQ(tarn_deepzoom_read_tile(evenZoom, 8, 0, 0, got.data(), TARN_FORMAT_RGB), 0);
    tarn_deepzoom_destroy(evenZoom);
    for (int64_t y : {int64_t{0}, int64_t{57}, tile.tile_height - 1})
        for (int64_t x : {int64_t{0}, int64_t{91}, tile.tile_width - 1})
            for (int64_t c = 0; c < 3; ++c) {
                int sum = 0;
                for (int64_t dy = 0; dy < 2; ++dy)
                    for (int64_t dx = 0; dx < 2; ++dx)
                        sum += area[static_cast<size_t>(
                            ((2 * y + dy) * tile.width + 2 * x + dx) * 3 + c)];
                EXPECT_EQ(got[static_cast<size_t>((y * tile.tile_width + x) * 3 + c)],
                          (sum + 2) / 4)
                    << x << "," << y;
            }

    uint8_t* jpeg = nullptr;
    size_t size = 0;
    ASSERT_EQ(tarn_deepzoom_read_tile_jpeg(dz, 0, 0, 0, 90, &jpeg, &size), 0);
    Bytes pixels;
    uint32_t jw = 0, jh = 0;
    ASSERT_TRUE(tarnwriter::DecodeJpeg(jpeg, size, &pixels, &jw, &jh));
    EXPECT_EQ(jw, 1U);
    EXPECT_EQ(jh, 1U);
    tarn_free(jpeg);

    char* dzi = tarn_deepzoom_get_dzi(dz, "jpeg");
    EXPECT_STREQ(dzi,
                 "<Image TileSize=\"254\" Overlap=\"1\" Format=\"jpeg\" "
                 "xmlns=\"http://schemas.microsoft.com/deepzoom/2008\">"
                 "<Size Width=\"731\" Height=\"491\" /></Image>");
    tarn_free(dzi);

    // Failures name themselves and leave the view usable.
    EXPECT_EQ(tarn_deepzoom_read_tile(dz, levels - 1, 3, 0, got.data(), TARN_FORMAT_RGB), -1);
    EXPECT_NE(
        std::string(tarn_get_error(slide.get())).find("tile (3, 0) of level 10 does not exist"),
        std::string::npos);
    EXPECT_EQ(tarn_deepzoom_read_tile_jpeg(dz, 0, 0, 0, 0, &jpeg, &size), -1);
    EXPECT_EQ(tarn_deepzoom_get_dzi(dz, "gif"), nullptr);
    int64_t cols = 0, rows = 0;
    tarn_deepzoom_get_level_tiles(dz, levels, &cols, &rows);
    EXPECT_EQ(cols, -1);
    tarn_deepzoom_get_level_tiles(dz, levels - 1, &cols, &rows);
    EXPECT_EQ(cols, 3);
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(tarn_get_error(slide.get()), nullptr);
    tarn_deepzoom_destroy(dz);
    EXPECT_EQ(tarn_deepzoom_create(slide.get(), 0, 1, 0), nullptr);
    EXPECT_EQ(tarn_deepzoom_create(slide.get(), 254, -1, 0), nullptr);
}

TEST(TarnDeepZoom, LimitedBoundsAreWhiteBeyondThePictureEvenInAlphaLayouts) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(3, 2, 1);
    spec.layers[0].emptyTiles = {0, 3};  // bounds start at x = 256
    const SpecFile file(spec);
    Slide slide(file.file.path());
    ASSERT_NE(slide.get(), nullptr);
    tarn_deepzoom* dz = tarn_deepzoom_create(slide.get(), 200, 0, 1);
    ASSERT_NE(dz, nullptr);
    const int32_t last = tarn_deepzoom_get_level_count(dz) - 1;
    int64_t w = 0, h = 0;
    tarn_deepzoom_get_level_dimensions(dz, last, &w, &h);
    EXPECT_EQ(w, 731 - 256);
    EXPECT_EQ(h, 491);
    tarn_deepzoom_tile tile{};
    ASSERT_EQ(tarn_deepzoom_get_tile_info(dz, last, 0, 0, &tile), 0);
    EXPECT_EQ(tile.x, 256);
    // Empty tiles are white in the picture; the whole tile is opaque.
    Bytes rgba(200 * 200 * 4);
    ASSERT_EQ(tarn_deepzoom_read_tile(dz, last, 0, 0, rgba.data(), TARN_FORMAT_RGBA), 0);
    for (size_t i = 3; i < rgba.size(); i += 4)
        ASSERT_EQ(rgba[i], 255);
    tarn_deepzoom_destroy(dz);
}

// Threads alive in this process.
int ThreadCount() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

// The most threads seen while the whole of layer 0 of a larger slide decodes.
int ThreadsDuringWholeLayerDecode(const std::string& path) {
    ZyTarnInfo* info = ZyOpenTarn(path.c_str());
    std::atomic<bool> done{false};
    std::atomic<int> most{0};
    std::thread watcher([&] {
        while (!done) {
            most = std::max(most.load(), ThreadCount());
            std::this_thread::yield();
        }
    });
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    EXPECT_EQ(ZySpecifyLayerJpeg2Rgb(info, &pixels, &width, &height, 0), 0);
    Dispose(pixels);
    done = true;
    watcher.join();
    ZyCloseTarn(info);
    return most;
}

TEST(TarnThreads, TheCapHoldsForWholeLayerDecodes) {
    const SpecFile sample(tarnwriter::SampleSpec(6, 4, 1));
    const int before = ThreadCount();  // this thread and any the test runner keeps
    tarn_set_threads(1);
    EXPECT_EQ(tarn_get_threads(), 1);
    EXPECT_EQ(ThreadsDuringWholeLayerDecode(sample.file.path()), before + 1);  // + the watcher
    // The watcher does see helpers when there may be some.
    tarn_set_threads(3);
    EXPECT_EQ(tarn_get_threads(), 3);
    int most = 0;
    for (int attempt = 0; attempt < 20 && most <= before + 1; ++attempt)
        most = ThreadsDuringWholeLayerDecode(sample.file.path());
    EXPECT_GT(most, before + 1);
    tarn_set_threads(0);
    EXPECT_GE(tarn_get_threads(), 1);
}

TEST(TarnLibrary, VersionLayoutsAndCaches) {
    EXPECT_STREQ(tarn_version(), "1.4.0");
    EXPECT_EQ(tarn_format_bytes(TARN_FORMAT_RGBA), 4);
    EXPECT_EQ(tarn_format_bytes(TARN_FORMAT_BGR), 3);
    EXPECT_EQ(tarn_format_bytes(static_cast<tarn_format>(7)), 0);
    tarn_free(nullptr);

    tarn_cache* cache = tarn_cache_create(8 << 20);
    ASSERT_NE(cache, nullptr);
    tarn_cache_stats stats{};
    ASSERT_EQ(tarn_cache_get_stats(cache, &stats), 0);
    EXPECT_EQ(stats.capacity, 8U << 20);
    EXPECT_EQ(tarn_cache_get_stats(cache, nullptr), -1);
    Slide slide(tarntest::JpegSlidePath());
    tarn_set_cache(slide.get(), cache);
    tarn_cache_release(cache);  // the slide keeps it
    // A tile is kept the second time it is read, and served from the cache after that.
    int code = -1;
    const Bytes first = Read(slide.get(), 10, 20, 0, 64, 64, TARN_FORMAT_RGBA, &code);
    EXPECT_EQ(code, 0);
    for (int again = 0; again < 2; ++again)
        EXPECT_EQ(Read(slide.get(), 10, 20, 0, 64, 64, TARN_FORMAT_RGBA, &code), first);
    ASSERT_EQ(tarn_cache_get_stats(cache, &stats), 0);
    EXPECT_EQ(stats.misses, 2U);
    EXPECT_EQ(stats.hits, 1U);
    EXPECT_EQ(stats.entries, 1U);
    EXPECT_LE(stats.bytes, stats.capacity);
    tarn_cache_set_capacity(cache, 0);
    ASSERT_EQ(tarn_cache_get_stats(cache, &stats), 0);
    EXPECT_EQ(stats.entries, 0U);
    tarn_set_cache(slide.get(), nullptr);
}

// What a program ported from openslide.h needs beside the reads: the version under OpenSlide's
// name, vendor detection, colour profiles (none: pixels are sRGB) and a content digest that
// names the file, not the path.
TEST(TarnLibrary, VendorProfilesAndQuickHash) {
    EXPECT_STREQ(tarn_get_version(), tarn_version());
    EXPECT_STREQ(tarn_detect_vendor(tarntest::JpegSlidePath().c_str()), "tarn");
    const tarntest::TempFile garbage(Bytes(4096, 'x'));
    EXPECT_EQ(tarn_detect_vendor(garbage.c_str()), nullptr);
    EXPECT_EQ(tarn_detect_vendor(tarntest::TestDirectory().c_str()), nullptr);
    EXPECT_EQ(tarn_detect_vendor(nullptr), nullptr);

    Slide slide(tarntest::JpegSlidePath());
    EXPECT_EQ(tarn_get_icc_profile_size(slide.get()), 0);
    EXPECT_EQ(tarn_read_icc_profile(slide.get(), nullptr), 0);
    EXPECT_EQ(tarn_get_associated_image_icc_profile_size(slide.get(), "label"), 0);
    EXPECT_EQ(tarn_read_associated_image_icc_profile(slide.get(), "macro", nullptr), 0);
    EXPECT_EQ(tarn_get_associated_image_icc_profile_size(slide.get(), "overview"), -1);
    EXPECT_EQ(tarn_get_icc_profile_size(nullptr), -1);
    EXPECT_EQ(tarn_get_property_value(slide.get(), TARN_PROPERTY_NAME_ICC_SIZE), nullptr);

    // The same file under another name has the same digest; other content, another one.
    const char* hash = tarn_get_property_value(slide.get(), TARN_PROPERTY_NAME_QUICKHASH1);
    ASSERT_NE(hash, nullptr) << tarn_get_error(slide.get());
    EXPECT_EQ(std::string(hash).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(strlen(hash), 64U);
    const auto properties = PropertiesOf(slide.get());
    EXPECT_EQ(properties.at(TARN_PROPERTY_NAME_QUICKHASH1), hash);
    const tarntest::TempFile copy(tarntest::JpegSlide().bytes);
    Slide same(copy.path());
    EXPECT_STREQ(tarn_get_property_value(same.get(), TARN_PROPERTY_NAME_QUICKHASH1), hash);
    const SpecFile other(tarnwriter::SampleSpec(2, 2, 2));
    Slide different(other.file.path());
    EXPECT_STRNE(tarn_get_property_value(different.get(), TARN_PROPERTY_NAME_QUICKHASH1), hash);
    // Asked first after the file went: no digest of whatever is there now.
    {
        const tarntest::TempFile gone(tarntest::JpegSlide().bytes);
        Slide removed(gone.path());
        ASSERT_EQ(remove(gone.c_str()), 0);
        EXPECT_EQ(tarn_get_property_value(removed.get(), TARN_PROPERTY_NAME_QUICKHASH1), nullptr);
        EXPECT_NE(tarn_get_error(removed.get()), nullptr);
    }
}

}  // namespace
