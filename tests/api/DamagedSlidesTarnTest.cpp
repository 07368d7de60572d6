// The damaged slides of tests/support/DamagedSlides.h through tarn.h and its Deep Zoom views, in
// the shared library. Every call either succeeds or fails with a reason; where the fixed
// interface gives a level's pixels, regions give the same pixels, and where it fails, they fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "DecodeTarn.h"
#include "support/DamagedSlides.h"
#include "support/TestFiles.h"
#include "tarn.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tarntest::Case;

// Anything a case does stays well under this; a hang stops the process with the case's name.
constexpr int kCaseSeconds = 60;
// Regions are read whole up to this many pixels a side (damaged headers can promise more).
constexpr int64_t kMaxSide = 2048;

bool HasMessage(const char* message) {
    return message != nullptr && message[0] != '\0';
}

// The slide's bytes in memory, delivered through a reader that checks what it is asked.
struct MemoryReader {
    const Bytes* bytes = nullptr;
    std::atomic<int> outOfRange{0};
    std::atomic<int> closes{0};

    tarn_reader Reader() {
        tarn_reader reader{};
        reader.context = this;
        reader.size = bytes->size();
        reader.read = [](void* context, uint64_t offset, void* buffer, size_t length) {
            auto* self = static_cast<MemoryReader*>(context);
            if (offset > self->bytes->size() || length > self->bytes->size() - offset) {
                ++self->outOfRange;
                return -1;
            }
            memcpy(buffer, self->bytes->data() + offset, length);
            return 0;
        };
        reader.close = [](void* context) { ++static_cast<MemoryReader*>(context)->closes; };
        return reader;
    }
};

// The picture of a level as the fixed interface draws it, 3 bytes a pixel, blue first; empty
// when it fails.
Bytes FixedPicture(ZyTarnInfo* fixed, int32_t level, int64_t w, int64_t h) {
    unsigned char* data = nullptr;
    const int code = ZyGetRoiRgbOfSpecifyLayer(fixed, &data, static_cast<int>(w),
                                               static_cast<int>(h), 0, 0, level);
    Bytes pixels;
    if (code == ZY_OK && data != nullptr) pixels.assign(data, data + w * h * 3);
    Dispose(data);
    return pixels;
}

// The fixed picture in RGBA, framed by `margin` transparent pixels on every side.
Bytes Framed(const Bytes& bgr, int64_t w, int64_t h, int64_t margin) {
    const int64_t fw = w + 2 * margin, fh = h + 2 * margin;
    Bytes out(static_cast<size_t>(fw * fh * 4), 0);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const uint8_t* in = &bgr[static_cast<size_t>((y * w + x) * 3)];
            uint8_t* o = &out[static_cast<size_t>(((y + margin) * fw + x + margin) * 4)];
            o[0] = in[2];
            o[1] = in[1];
            o[2] = in[0];
            o[3] = 255;
        }
    return out;
}

// Levels, and the dimensions and downsamples of levels that do not exist.
void CheckLevels(tarn_slide* slide, ZyTarnInfo* fixed) {
    const int32_t levels = tarn_get_level_count(slide);
    EXPECT_EQ(levels, static_cast<int32_t>(fixed->PicHead->Layer));
    for (int32_t level = 0; level < levels; ++level) {
        int64_t w = 0, h = 0;
        tarn_get_level_dimensions(slide, level, &w, &h);
        EXPECT_GT(w, 0);
        EXPECT_GT(h, 0);
        EXPECT_GT(tarn_get_level_downsample(slide, level), 0.0);
    }
    int64_t w = 0, h = 0;
    tarn_get_level_dimensions(slide, levels, &w, &h);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(tarn_get_level_downsample(slide, -1), -1.0);
    const int32_t best = tarn_get_best_level_for_downsample(slide, 1e9);
    EXPECT_TRUE(best >= 0 && best < levels) << best;
}

// Every property has a value; the quick hash is 64 hexadecimal digits.
void CheckProperties(tarn_slide* slide) {
    const char* const* names = tarn_get_property_names(slide);
    ASSERT_NE(names, nullptr) << tarn_get_error(slide);
    bool hash = false;
    for (; *names != nullptr; ++names) {
        const char* value = tarn_get_property_value(slide, *names);
        ASSERT_NE(value, nullptr) << *names << ": " << tarn_get_error(slide);
        if (strcmp(*names, TARN_PROPERTY_NAME_QUICKHASH1) == 0) {
            hash = true;
            EXPECT_EQ(strlen(value), 64U);
            EXPECT_EQ(strspn(value, "0123456789abcdef"), strlen(value)) << value;
        }
    }
    EXPECT_TRUE(hash);
    EXPECT_EQ(tarn_get_property_value(slide, "tarn.no-such-property"), nullptr);
    EXPECT_EQ(tarn_get_error(slide), nullptr);
}

// Associated images the slide lists read as pixels equal to the fixed interface's, and as
// JPEG; those it does not list fail with a reason.
void CheckAssociated(tarn_slide* slide, ZyTarnInfo* fixed) {
    const char* const* names = tarn_get_associated_image_names(slide);
    ASSERT_NE(names, nullptr);
    const struct {
        const char* name;
        unsigned char* (*get)(ZyTarnInfo*, int*, int*);
    } images[] = {
        {"label", GetLabelAbgr}, {"macro", GetMacrographAbgr}, {"thumbnail", GetThumbnailAbgr}};
    for (const auto& image : images) {
        bool listed = false;
        for (const char* const* n = names; *n != nullptr; ++n)
            listed = listed || strcmp(*n, image.name) == 0;
        int64_t w = 0, h = 0;
        tarn_get_associated_image_dimensions(slide, image.name, &w, &h);
        uint8_t* jpeg = nullptr;
        size_t size = 0;
        const int jpegCode = tarn_read_associated_image_jpeg(slide, image.name, 80, &jpeg, &size);
        if (!listed) {
            EXPECT_EQ(w, -1) << image.name;
            uint8_t canary = 0x5A;
            EXPECT_EQ(tarn_read_associated_image(slide, image.name, &canary, TARN_FORMAT_BGRA), -1);
            EXPECT_TRUE(HasMessage(tarn_get_error(slide))) << image.name;
            EXPECT_EQ(canary, 0x5A);
            EXPECT_EQ(jpegCode, -1);
            EXPECT_EQ(jpeg, nullptr);
            continue;
        }
        ASSERT_GT(w, 0) << image.name;
        ASSERT_GT(h, 0) << image.name;
        Bytes pixels(static_cast<size_t>(w * h * 4), 0x5A);
        ASSERT_EQ(tarn_read_associated_image(slide, image.name, pixels.data(), TARN_FORMAT_BGRA), 0)
            << image.name << ": " << tarn_get_error(slide);
        int fw = 0, fh = 0;
        unsigned char* want = image.get(fixed, &fw, &fh);
        if (want != nullptr && fw == w && fh == h) {
            EXPECT_EQ(memcmp(pixels.data(), want, pixels.size()), 0) << image.name;
        } else {
            ADD_FAILURE() << image.name << ": listed, but the fixed interface has no pixels";
        }
        Dispose(want);
        ASSERT_EQ(jpegCode, 0) << image.name << ": " << tarn_get_error(slide);
        EXPECT_TRUE(size > 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8);
        tarn_free(jpeg);
    }
}

// Regions of every level: the whole picture, a frame one pixel wider on every side, and areas
// wholly outside. They succeed with the fixed interface's pixels where it draws the level, and
// fail with a reason where it does not; outside the picture they always succeed.
void CheckRegions(tarn_slide* slide, ZyTarnInfo* fixed) {
    for (int32_t level = 0; level < tarn_get_level_count(slide); ++level) {
        int64_t w = 0, h = 0;
        tarn_get_level_dimensions(slide, level, &w, &h);
        if (w > kMaxSide || h > kMaxSide) continue;
        const Bytes want = FixedPicture(fixed, level, w, h);

        Bytes whole(static_cast<size_t>(w * h * 3), 0x5A);
        const int code = tarn_read_region(slide, whole.data(), 0, 0, level, w, h, TARN_FORMAT_BGR);
        if (want.empty()) {
            EXPECT_EQ(code, -1) << "level " << level << ": pixels where the fixed interface fails";
            EXPECT_TRUE(HasMessage(tarn_get_error(slide)));
        } else {
            ASSERT_EQ(code, 0) << "level " << level << ": " << tarn_get_error(slide);
            EXPECT_EQ(whole, want) << "level " << level;
        }

        // x = -1 lands on the level's pixel -1 whatever its downsample.
        Bytes framed(static_cast<size_t>((w + 2) * (h + 2) * 4), 0x5A);
        const int framedCode =
            tarn_read_region(slide, framed.data(), -1, -1, level, w + 2, h + 2, TARN_FORMAT_RGBA);
        EXPECT_EQ(framedCode, code) << "level " << level;
        if (framedCode == 0 && !want.empty()) {
            EXPECT_EQ(framed, Framed(want, w, h, 1)) << "level " << level;
        }

        const int64_t far = int64_t{1} << 40;
        for (const auto& [x, y] : {std::pair{far, far}, std::pair{-far, int64_t{0}}}) {
            Bytes outside(7 * 5 * 4, 0x5A);
            EXPECT_EQ(tarn_read_region(slide, outside.data(), x, y, level, 7, 5, TARN_FORMAT_RGBA),
                      0)
                << tarn_get_error(slide);
            EXPECT_EQ(outside, Bytes(outside.size(), 0));
        }
    }
    uint8_t canary = 0x5A;
    EXPECT_EQ(
        tarn_read_region(slide, &canary, 0, 0, tarn_get_level_count(slide), 1, 1, TARN_FORMAT_RGBA),
        -1);
    EXPECT_TRUE(HasMessage(tarn_get_error(slide)));
}

// Export tiles: the first of each level is the fixed interface's JPEG of that region, byte for
// byte, or fails where it fails; the last succeeds or fails with a reason and untouched outputs;
// one past the grid always fails.
void CheckExportTiles(tarn_slide* slide, ZyTarnInfo* fixed) {
    constexpr int64_t kTile = 40;
    for (int32_t level = 0; level < tarn_get_level_count(slide); ++level) {
        int64_t w = 0, h = 0;
        tarn_get_level_dimensions(slide, level, &w, &h);
        const int64_t cols = (w + kTile - 1) / kTile, rows = (h + kTile - 1) / kTile;
        for (const auto& [col, row] :
             {std::pair{int64_t{0}, int64_t{0}}, std::pair{cols - 1, rows - 1}}) {
            uint8_t* jpeg = nullptr;
            size_t size = 0;
            const int code =
                tarn_read_export_tile_jpeg(slide, level, col, row, kTile, kTile, &jpeg, &size);
            if (code == 0) {
                EXPECT_TRUE(size > 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8);
            } else {
                EXPECT_TRUE(HasMessage(tarn_get_error(slide)));
                EXPECT_EQ(jpeg, nullptr);
                EXPECT_EQ(size, 0U);
            }
            if (col == 0 && row == 0) {
                int fixedSize = 0;
                unsigned char* want = GetRoiSliceJpeg(fixed, level, 0, 0, kTile, kTile, &fixedSize);
                EXPECT_EQ(code == 0, want != nullptr) << "level " << level;
                if (code == 0 && want != nullptr) {
                    EXPECT_EQ(Bytes(jpeg, jpeg + size), Bytes(want, want + fixedSize))
                        << "level " << level;
                }
                Dispose(want);
            }
            tarn_free(jpeg);
        }
        uint8_t* jpeg = nullptr;
        size_t size = 0;
        EXPECT_EQ(tarn_read_export_tile_jpeg(slide, level, cols + (int64_t{1} << 20), 0, kTile,
                                             kTile, &jpeg, &size),
                  -1);
        EXPECT_EQ(jpeg, nullptr);
    }
}

void CheckSlide(tarn_slide* slide, ZyTarnInfo* fixed) {
    CheckLevels(slide, fixed);
    CheckProperties(slide);
    CheckAssociated(slide, fixed);
    CheckRegions(slide, fixed);
    CheckExportTiles(slide, fixed);
}

// Whether tarn.h opens the case's slide.
bool TarnOpens(const Case& c) {
    return c.opens && c.tarnRefuses.empty();
}

class DamagedSlideTarn : public testing::TestWithParam<Case> {};

TEST_P(DamagedSlideTarn, FailsCleanlyOrGivesTheFixedPixels) {
    const Case& c = GetParam();
    const tarntest::Deadline deadline(c.name, kCaseSeconds);
    const Bytes bytes = tarntest::DamagedBytes(c);
    const tarntest::TempFile file(bytes);
    ZyTarnInfo* fixed = ZyOpenTarn(file.c_str());

    tarn_slide* slide = tarn_open(file.c_str());
    ASSERT_EQ(slide != nullptr, TarnOpens(c)) << tarn_get_error(nullptr);
    if (slide == nullptr) {
        EXPECT_TRUE(HasMessage(tarn_get_error(nullptr)));
    } else {
        EXPECT_EQ(tarn_get_error(nullptr), nullptr);
    }

    MemoryReader memory;
    memory.bytes = &bytes;
    const tarn_reader reader = memory.Reader();
    tarn_slide* read = tarn_open_with_reader(&reader);
    EXPECT_EQ(read != nullptr, slide != nullptr) << tarn_get_error(nullptr);
    if (read == nullptr) {
        EXPECT_TRUE(HasMessage(tarn_get_error(nullptr)));
        EXPECT_EQ(memory.closes, 1);
    }

    if (fixed != nullptr) {
        for (tarn_slide* s : {slide, read})
            if (s != nullptr) CheckSlide(s, fixed);
    }
    tarn_close(slide);
    tarn_close(read);
    EXPECT_EQ(memory.closes, 1);
    EXPECT_EQ(memory.outOfRange, 0);
    ZyCloseTarn(fixed);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedSlideTarn, testing::ValuesIn(tarntest::DamagedCases()),
                         tarntest::CaseName);

// ---- Deep Zoom

constexpr int32_t kDeepZoomTile = 64;
// Levels from the smallest on are read whole while they hold at most this many tiles together;
// the deeper ones are sampled.
constexpr int64_t kWholeTiles = 48;

// One tile: its pixels and its JPEG agree on success, fail with a reason and untouched outputs
// otherwise. At full resolution the pixels are the region's (white outside the picture).
void CheckTile(tarn_slide* slide, tarn_deepzoom* dz, int32_t level, int64_t col, int64_t row) {
    tarn_deepzoom_tile info{};
    ASSERT_EQ(tarn_deepzoom_get_tile_info(dz, level, col, row, &info), 0);
    ASSERT_TRUE(info.tile_width > 0 && info.tile_height > 0 &&
                info.tile_width <= kDeepZoomTile + 2 && info.tile_height <= kDeepZoomTile + 2);
    Bytes pixels(static_cast<size_t>(info.tile_width * info.tile_height * 3), 0x5A);
    const int code = tarn_deepzoom_read_tile(dz, level, col, row, pixels.data(), TARN_FORMAT_RGB);
    if (code != 0) {
        EXPECT_TRUE(HasMessage(tarn_get_error(slide)));
    }
    uint8_t* jpeg = nullptr;
    size_t size = 0;
    const int jpegCode = tarn_deepzoom_read_tile_jpeg(dz, level, col, row, 80, &jpeg, &size);
    EXPECT_EQ(jpegCode, code) << "level " << level << " tile " << col << "," << row;
    if (jpegCode == 0) {
        EXPECT_TRUE(size > 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8);
    } else {
        EXPECT_EQ(jpeg, nullptr);
        EXPECT_EQ(size, 0U);
    }
    tarn_free(jpeg);
    if (info.level != 0 || info.width != info.tile_width || info.height != info.tile_height ||
        tarn_get_level_downsample(slide, 0) != 1.0)
        return;
    Bytes region(pixels.size(), 0x5A);
    const int regionCode = tarn_read_region(slide, region.data(), info.x, info.y, 0, info.width,
                                            info.height, TARN_FORMAT_RGB);
    EXPECT_EQ(code, regionCode) << "level " << level << " tile " << col << "," << row;
    if (code == 0 && regionCode == 0) {
        EXPECT_EQ(pixels, region) << "level " << level << " tile " << col << "," << row;
    }
}

void CheckDeepZoom(tarn_slide* slide, int limitBounds) {
    tarn_deepzoom* dz = tarn_deepzoom_create(slide, kDeepZoomTile, 1, limitBounds);
    ASSERT_NE(dz, nullptr) << tarn_get_error(slide);
    const int32_t levels = tarn_deepzoom_get_level_count(dz);
    ASSERT_GT(levels, 0);
    int64_t tiles = 0;
    for (int32_t level = 0; level < levels; ++level) {
        int64_t cols = 0, rows = 0;
        tarn_deepzoom_get_level_tiles(dz, level, &cols, &rows);
        ASSERT_TRUE(cols > 0 && rows > 0) << "level " << level;
        tiles += cols * rows;
        // These slides are small: no level waits for coarse levels.
        EXPECT_EQ(tarn_deepzoom_wait_level(dz, level, 2000), 1) << "level " << level;
        if (tiles <= kWholeTiles) {
            for (int64_t row = 0; row < rows; ++row)
                for (int64_t col = 0; col < cols; ++col)
                    CheckTile(slide, dz, level, col, row);
        } else {
            for (const auto& [col, row] :
                 {std::pair{int64_t{0}, int64_t{0}}, std::pair{cols / 2, rows / 2},
                  std::pair{cols - 1, int64_t{0}}, std::pair{int64_t{0}, rows - 1},
                  std::pair{cols - 1, rows - 1}})
                CheckTile(slide, dz, level, col, row);
        }
        uint8_t canary = 0x5A;
        EXPECT_EQ(tarn_deepzoom_read_tile(dz, level, cols, 0, &canary, TARN_FORMAT_RGB), -1);
        EXPECT_EQ(canary, 0x5A);
    }
    EXPECT_EQ(tarn_deepzoom_get_tile_count(dz), tiles);
    EXPECT_EQ(tarn_deepzoom_wait_level(dz, levels, 0), -1);
    for (const char* format : {"jpeg", "png"}) {
        char* dzi = tarn_deepzoom_get_dzi(dz, format);
        ASSERT_NE(dzi, nullptr) << format;
        EXPECT_NE(strstr(dzi, format), nullptr) << dzi;
        tarn_free(dzi);
    }
    tarn_deepzoom_destroy(dz);
}

class DamagedSlideDeepZoom : public testing::TestWithParam<Case> {};

TEST_P(DamagedSlideDeepZoom, TilesFailCleanlyOrGiveTheRegionsPixels) {
    const Case& c = GetParam();
    const tarntest::Deadline deadline(c.name, kCaseSeconds);
    const tarntest::TempFile file(tarntest::DamagedBytes(c));
    tarn_slide* slide = tarn_open(file.c_str());
    ASSERT_NE(slide, nullptr) << tarn_get_error(nullptr);
    for (int limitBounds : {0, 1}) {
        SCOPED_TRACE(limitBounds ? "limit_bounds" : "whole slide");
        CheckDeepZoom(slide, limitBounds);
    }
    tarn_close(slide);
}

// The cases tarn_open opens.
std::vector<Case> OpeningCases() {
    std::vector<Case> cases;
    for (const Case& c : tarntest::DamagedCases())
        if (TarnOpens(c)) cases.push_back(c);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedSlideDeepZoom, testing::ValuesIn(OpeningCases()),
                         tarntest::CaseName);

}  // namespace
