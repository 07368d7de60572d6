// The damaged slides of tests/support/DamagedSlides.h through libopenslide.so.0, beside tarn.h in
// the same process. A slide tarn.h opens answers as tarn.h does, call for call; one it refuses
// is NULL, or, when it is recognised as Tarn's, a handle in error. The first failure latches:
// every later call fails and the message stays. Run without a real OpenSlide behind the library
// (TARN_OPENSLIDE_LIBRARY empty), so that every answer is this library's own.
#include <gtest/gtest.h>
#include <openslide/openslide.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/DamagedSlides.h"
#include "support/TestFiles.h"
#include "tarn.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tarntest::Case;

constexpr int kCaseSeconds = 60;
constexpr int64_t kMaxSide = 2048;

std::vector<std::string> Names(const char* const* names) {
    std::vector<std::string> all;
    for (; names != nullptr && *names != nullptr; ++names)
        all.emplace_back(*names);
    return all;
}

// After a failure: the message stays, reads give transparent pixels, every query fails.
void ExpectLatched(openslide_t* osr, const std::string& message) {
    const char* error = openslide_get_error(osr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error, message);
    Bytes pixels(4 * 4 * 4, 0x5A);
    openslide_read_region(osr, reinterpret_cast<uint32_t*>(pixels.data()), 0, 0, 0, 4, 4);
    EXPECT_EQ(pixels, Bytes(pixels.size(), 0));
    EXPECT_EQ(openslide_get_level_count(osr), -1);
    EXPECT_EQ(openslide_get_property_value(osr, OPENSLIDE_PROPERTY_NAME_VENDOR), nullptr);
    EXPECT_TRUE(Names(openslide_get_property_names(osr)).empty());
    EXPECT_TRUE(Names(openslide_get_associated_image_names(osr)).empty());
    EXPECT_EQ(openslide_get_error(osr), message);
}

// Levels, properties and associated images as tarn.h has them.
void ExpectDescribedAsTarn(openslide_t* osr, tarn_slide* ref) {
    const int32_t levels = tarn_get_level_count(ref);
    ASSERT_EQ(openslide_get_level_count(osr), levels);
    for (int32_t level = 0; level < levels; ++level) {
        int64_t w = 0, h = 0, tw = 0, th = 0;
        openslide_get_level_dimensions(osr, level, &w, &h);
        tarn_get_level_dimensions(ref, level, &tw, &th);
        EXPECT_EQ(w, tw);
        EXPECT_EQ(h, th);
        EXPECT_EQ(openslide_get_level_downsample(osr, level),
                  tarn_get_level_downsample(ref, level));
    }
    const std::vector<std::string> properties = Names(openslide_get_property_names(osr));
    EXPECT_EQ(properties, Names(tarn_get_property_names(ref)));
    for (const std::string& name : properties) {
        const char* value = openslide_get_property_value(osr, name.c_str());
        const char* want = tarn_get_property_value(ref, name.c_str());
        ASSERT_NE(value, nullptr) << name << ": " << openslide_get_error(osr);
        ASSERT_NE(want, nullptr) << name;
        EXPECT_STREQ(value, want) << name;
    }
    const std::vector<std::string> images = Names(openslide_get_associated_image_names(osr));
    EXPECT_EQ(images, Names(tarn_get_associated_image_names(ref)));
    for (const std::string& name : images) {
        int64_t w = 0, h = 0, tw = 0, th = 0;
        openslide_get_associated_image_dimensions(osr, name.c_str(), &w, &h);
        tarn_get_associated_image_dimensions(ref, name.c_str(), &tw, &th);
        ASSERT_EQ(w, tw);
        ASSERT_EQ(h, th);
        ASSERT_GT(w * h, 0);
        Bytes got(static_cast<size_t>(w * h * 4), 0x5A), want(got.size(), 0xA5);
        openslide_read_associated_image(osr, name.c_str(), reinterpret_cast<uint32_t*>(got.data()));
        ASSERT_EQ(tarn_read_associated_image(ref, name.c_str(), want.data(), TARN_FORMAT_BGRA), 0);
        EXPECT_EQ(got, want) << name;
    }
    EXPECT_EQ(openslide_get_error(osr), nullptr);
}

// Regions of every level, whole and one pixel wider on every side, as tarn.h reads them in
// blue-green-red-alpha (OpenSlide's premultiplied ARGB words on this machine). False once a
// read fails, which must then have latched.
bool ReadsAsTarn(openslide_t* osr, tarn_slide* ref) {
    for (int32_t level = 0; level < tarn_get_level_count(ref); ++level) {
        int64_t w = 0, h = 0;
        tarn_get_level_dimensions(ref, level, &w, &h);
        if (w > kMaxSide || h > kMaxSide) continue;
        for (const int64_t margin : {0, 1}) {
            const int64_t rw = w + 2 * margin, rh = h + 2 * margin;
            Bytes got(static_cast<size_t>(rw * rh * 4), 0x5A), want(got.size(), 0xA5);
            openslide_read_region(osr, reinterpret_cast<uint32_t*>(got.data()), -margin, -margin,
                                  level, rw, rh);
            if (tarn_read_region(ref, want.data(), -margin, -margin, level, rw, rh,
                                 TARN_FORMAT_BGRA) != 0) {
                EXPECT_EQ(got, Bytes(got.size(), 0)) << "level " << level;
                EXPECT_NE(openslide_get_error(osr), nullptr) << "level " << level;
                return false;
            }
            EXPECT_EQ(got, want) << "level " << level << " margin " << margin;
            EXPECT_EQ(openslide_get_error(osr), nullptr) << openslide_get_error(osr);
        }
    }
    return true;
}

class DamagedSlideOpenSlide : public testing::TestWithParam<Case> {};

TEST_P(DamagedSlideOpenSlide, AnswersAsTarnOrLatchesAnError) {
    const Case& c = GetParam();
    const tarntest::Deadline deadline(c.name, kCaseSeconds);
    const tarntest::TempFile file(tarntest::DamagedBytes(c));
    tarn_slide* ref = tarn_open(file.c_str());
    const bool recognised = tarn_detect_vendor(file.c_str()) != nullptr;
    EXPECT_EQ(openslide_detect_vendor(file.c_str()) != nullptr, recognised);
    openslide_t* osr = openslide_open(file.c_str());
    if (ref != nullptr) {
        ASSERT_NE(osr, nullptr);
        EXPECT_EQ(openslide_get_error(osr), nullptr);
        ExpectDescribedAsTarn(osr, ref);
        if (ReadsAsTarn(osr, ref)) {
            // No read failed: a refused one latches all the same.
            Bytes pixel(4, 0x5A);
            openslide_read_region(osr, reinterpret_cast<uint32_t*>(pixel.data()), 0, 0, 0, -1, 1);
        }
    } else if (recognised) {
        ASSERT_NE(osr, nullptr) << "a recognised slide that does not open is a handle in error";
    } else {
        EXPECT_EQ(osr, nullptr);
    }
    if (osr != nullptr) {
        const char* error = openslide_get_error(osr);
        ASSERT_NE(error, nullptr);
        ExpectLatched(osr, error);
    }
    openslide_close(osr);
    tarn_close(ref);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedSlideOpenSlide, testing::ValuesIn(tarntest::DamagedCases()),
                         tarntest::CaseName);

}  // namespace
