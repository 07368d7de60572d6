// Slides over a caller's reader (tarn_open_with_reader): the same pixels as the file, few reads
// at open, failures that say why, reads from many threads at once, one close. And codec messages:
// tarn.h keeps them in its error text and prints nothing; the fixed interface prints libjpeg's, as
// it always did.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DecodeTarn.h"
#include "support/SlideFixtures.h"
#include "support/TestFiles.h"
#include "tarn.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A slide in memory. Reads that touch [failFrom, failTo) fail: the reader cannot deliver them.
struct MemoryReader {
    Bytes bytes;
    uint64_t failFrom = UINT64_MAX;
    uint64_t failTo = UINT64_MAX;
    std::atomic<int> reads{0};
    std::atomic<int> inFlight{0};
    std::atomic<int> mostInFlight{0};
    std::atomic<int> closes{0};
    std::atomic<bool> readAfterClose{false};

    tarn_reader Reader(const char* identity = nullptr) {
        tarn_reader reader{};
        reader.context = this;
        reader.size = bytes.size();
        reader.read = [](void* context, uint64_t offset, void* buffer, size_t length) {
            auto* self = static_cast<MemoryReader*>(context);
            if (self->closes > 0) self->readAfterClose = true;
            ++self->reads;
            const int now = ++self->inFlight;
            int most = self->mostInFlight;
            while (now > most && !self->mostInFlight.compare_exchange_weak(most, now)) {
            }
            std::this_thread::yield();
            const bool ok = offset + length <= self->failFrom || offset >= self->failTo;
            if (ok) std::memcpy(buffer, self->bytes.data() + offset, length);
            --self->inFlight;
            return ok ? 0 : -1;
        };
        reader.close = [](void* context) { ++static_cast<MemoryReader*>(context)->closes; };
        if (identity != nullptr) {
            reader.identity = identity;
            reader.identity_size = strlen(identity);
        }
        return reader;
    }
};

Bytes Region(tarn_slide* slide, int64_t x, int64_t y, int32_t level, int64_t w, int64_t h) {
    Bytes out(static_cast<size_t>(w * h * 4));
    if (tarn_read_region(slide, out.data(), x, y, level, w, h, TARN_FORMAT_RGBA) != 0) return {};
    return out;
}

TEST(ReaderSlide, GivesTheFilesPixelsInFewReadsAndClosesOnce) {
    const tarnwriter::SlideFile& file = tarntest::JpegSlide();
    MemoryReader memory;
    memory.bytes = file.bytes;
    tarn_slide* fromFile = tarn_open(tarntest::JpegSlidePath().c_str());
    const tarn_reader reader = memory.Reader();
    tarn_slide* fromReader = tarn_open_with_reader(&reader);
    ASSERT_NE(fromReader, nullptr) << tarn_get_error(nullptr);
    // The header, the records and both tables: one read ahead covers the head of this slide,
    // one more the second layer's record and table after layer 0's tiles.
    EXPECT_LE(memory.reads.load(), 2);
    // Nothing of the associated images is read until they are asked for.
    EXPECT_EQ(memory.bytes.size(), file.bytes.size());

    for (int32_t level = 0; level < 2; ++level)
        EXPECT_EQ(Region(fromReader, 10, 20, level, 300, 200),
                  Region(fromFile, 10, 20, level, 300, 200))
            << level;
    const char* const* names = tarn_get_associated_image_names(fromReader);
    ASSERT_NE(names, nullptr);
    for (; *names != nullptr; ++names) {
        int64_t w = 0, h = 0;
        tarn_get_associated_image_dimensions(fromReader, *names, &w, &h);
        Bytes a(static_cast<size_t>(w * h * 4)), b(a.size());
        ASSERT_EQ(tarn_read_associated_image(fromReader, *names, a.data(), TARN_FORMAT_RGBA), 0);
        ASSERT_EQ(tarn_read_associated_image(fromFile, *names, b.data(), TARN_FORMAT_RGBA), 0);
        EXPECT_EQ(a, b) << *names;
    }
    EXPECT_STREQ(tarn_get_property_value(fromReader, "tarn.MPP"),
                 tarn_get_property_value(fromFile, "tarn.MPP"));
    tarn_close(fromFile);
    EXPECT_EQ(memory.closes, 0);
    tarn_close(fromReader);
    EXPECT_EQ(memory.closes, 1);
    EXPECT_FALSE(memory.readAfterClose);

    // Three layers, each record after the tiles of the layer before: still three reads at most,
    // so that a remote open takes three round trips.
    MemoryReader pyramid;
    pyramid.bytes = tarnwriter::BuildSlide(tarnwriter::SampleSpec(4, 3, 3)).bytes;
    const tarn_reader threeLayers = pyramid.Reader();
    tarn_slide* opened = tarn_open_with_reader(&threeLayers);
    ASSERT_NE(opened, nullptr) << tarn_get_error(nullptr);
    EXPECT_EQ(tarn_get_level_count(opened), 3);
    EXPECT_LE(pyramid.reads.load(), 3);
    tarn_close(opened);
}

TEST(ReaderSlide, TilesAreCachedOnlyForReadersThatNameTheirBytes) {
    MemoryReader memory;
    memory.bytes = tarntest::JpegSlide().bytes;
    for (const char* identity : {static_cast<const char*>(nullptr), "memory:slide-1"}) {
        tarn_cache* cache = tarn_cache_create(size_t{16} << 20);
        const tarn_reader reader = memory.Reader(identity);
        tarn_slide* slide = tarn_open_with_reader(&reader);
        ASSERT_NE(slide, nullptr);
        tarn_set_cache(slide, cache);
        for (int pass = 0; pass < 3; ++pass)
            EXPECT_FALSE(Region(slide, 0, 0, 0, 200, 150).empty());
        tarn_cache_stats stats{};
        tarn_cache_get_stats(cache, &stats);
        EXPECT_EQ(stats.hits > 0, identity != nullptr) << (identity ? identity : "none");
        tarn_close(slide);
        tarn_cache_release(cache);
    }
}

TEST(ReaderSlide, AFailingReaderFailsTheOpenOrTheReadAndSaysWhy) {
    const tarnwriter::SlideFile& file = tarntest::JpegSlide();
    MemoryReader memory;
    memory.bytes = file.bytes;
    // Failing from the start: the open fails, and the reader is closed.
    memory.failFrom = 100;
    tarn_reader reader = memory.Reader();
    EXPECT_EQ(tarn_open_with_reader(&reader), nullptr);
    EXPECT_NE(std::string(tarn_get_error(nullptr)).find("the reader could not deliver"),
              std::string::npos)
        << tarn_get_error(nullptr);
    EXPECT_EQ(memory.closes, 1);
    reader.read = nullptr;
    EXPECT_EQ(tarn_open_with_reader(&reader), nullptr);
    EXPECT_EQ(memory.closes, 2);
    EXPECT_EQ(tarn_open_with_reader(nullptr), nullptr);

    // Failing on the last tile of layer 0 only: the open succeeds, a read of that tile fails with
    // the reason, and the slide stays usable.
    memory.failFrom = file.layout.tileOffsets[0].back();
    memory.failTo = memory.failFrom + file.layout.tileSizes[0].back();
    reader = memory.Reader();
    tarn_slide* slide = tarn_open_with_reader(&reader);
    ASSERT_NE(slide, nullptr) << tarn_get_error(nullptr);
    int64_t w = 0, h = 0;
    tarn_get_level0_dimensions(slide, &w, &h);
    EXPECT_TRUE(Region(slide, w - 10, h - 10, 0, 10, 10).empty());
    ASSERT_NE(tarn_get_error(slide), nullptr);
    EXPECT_NE(std::string(tarn_get_error(slide)).find("could not deliver"), std::string::npos)
        << tarn_get_error(slide);
    EXPECT_FALSE(Region(slide, 0, 0, 0, 10, 10).empty());
    EXPECT_EQ(tarn_get_error(slide), nullptr);
    tarn_close(slide);
}

TEST(ReaderSlide, ManyThreadsReadAtOnce) {
    MemoryReader memory;
    memory.bytes = tarntest::JpegSlide().bytes;
    const tarn_reader reader = memory.Reader();
    tarn_slide* slide = tarn_open_with_reader(&reader);
    ASSERT_NE(slide, nullptr);
    tarn_set_cache(slide, nullptr);
    const Bytes expected = Region(slide, 0, 0, 0, 400, 250);
    ASSERT_FALSE(expected.empty());
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i)
                if (Region(slide, 0, 0, 0, 400, 250) != expected) ++wrong;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    tarn_close(slide);
    EXPECT_EQ(memory.closes, 1);
}

// A tile that does not decode: tarn.h says why, libjpeg's words included, and prints nothing;
// the fixed interface prints libjpeg's message on stderr for the same read.
TEST(CodecMessages, AreTheCallersNeverPrintedByTarnH) {
    const tarntest::TempFile broken(tarntest::WithBrokenTile(tarntest::JpegSlide(), 1));
    tarn_slide* slide = tarn_open(broken.c_str());
    ASSERT_NE(slide, nullptr);
    tarn_set_cache(slide, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(Region(slide, 0, 0, 0, 300, 50).empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::string why = tarn_get_error(slide);
    EXPECT_NE(why.find("tile (1, 0) of level 0 does not decode: "), std::string::npos) << why;
    tarn_close(slide);

    ZyTarnInfo* fixed = ZyOpenTarn(broken.c_str());
    ASSERT_NE(fixed, nullptr);
    unsigned char* pixels = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZyGetRoiRgbOfSpecifyLayer(fixed, &pixels, 300, 50, 0, 0, 0), ZY_E_DECODE);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(printed.empty());
    EXPECT_NE(why.find(printed.substr(0, printed.size() - 1)), std::string::npos)
        << printed << " / " << why;
    ZyCloseTarn(fixed);
}

}  // namespace
