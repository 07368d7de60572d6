// Reads on one handle from several threads while other slides are opened and closed on other
// threads, and the handle-less decoder runs meanwhile. Every read through a handle must give the
// bytes a quiet read gives; nothing may race (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "DecodeTarn.h"
#include "Core/PixelCache.h"
#include "FixedApi/Handles.h"
#include "TarnWriter.h"
#include "support/TestFiles.h"

using tarnwriter::Bytes;

namespace {

tarnwriter::SlideSpec Small(float gain) {
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.tileWidth = 64;
    spec.tileHeight = 64;
    spec.layers[0] = {};
    spec.layers[0].xCount = 3;
    spec.layers[0].yCount = 2;
    spec.layers[0].emptyTiles = {4};
    spec.gains[1] = gain;
    return spec;
}

Bytes Region(ZyTarnInfo* slide, int x, int y, int width, int height) {
    unsigned char* data = nullptr;
    if (ZyGetRoiRgbOfSpecifyLayer(slide, &data, width, height, static_cast<unsigned>(x),
                                  static_cast<unsigned>(y), 0) != 0)
        return {};
    Bytes out(data, data + static_cast<size_t>(width) * height * 3);
    Dispose(data);
    return out;
}

// Layer 0 decoded on at least two of the library's threads.
Bytes WholeLayer(ZyTarnInfo* slide) {
    unsigned char* data = nullptr;
    int width = 0, height = 0;
    if (tarn::DecodeWholeLayer(slide, &data, &width, &height, 0, 2) != 0) return {};
    Bytes out(data, data + static_cast<size_t>(width) * height * 3);
    Dispose(data);
    return out;
}

TEST(Concurrency, ReadsStayExactWhileOtherSlidesOpenAndClose) {
    const tarntest::TempFile reader(tarnwriter::BuildSlide(Small(1.0F)).bytes);
    // Other slides, two of them with colours of their own, one damaged.
    const tarntest::TempFile otherA(tarnwriter::BuildSlide(Small(0.8F)).bytes);
    const tarntest::TempFile otherB(tarnwriter::BuildSlide(Small(1.2F)).bytes);
    Bytes damaged = tarnwriter::BuildSlide(Small(1.0F)).bytes;
    damaged[0] = 'X';
    const tarntest::TempFile broken(damaged);
    const Bytes tileJpeg = tarnwriter::EncodeJpeg(tarnwriter::RenderTissue(0, 0, 32, 32));

    // Every read decodes, as it would without the tile cache: the cache's own concurrency has
    // tests of its own.
    tarn::PixelCache* cache = tarn::DefaultPixelCache();
    const uint64_t capacity = tarn::PixelCacheStatsOf(cache).capacity;
    tarn::SetPixelCacheCapacity(cache, 0);

    ZyTarnInfo* slide = ZyOpenTarn(reader.c_str());
    ASSERT_NE(slide, nullptr);
    const Bytes expected = Region(slide, 10, 5, 150, 100);
    ASSERT_FALSE(expected.empty());
    const Bytes expectedLayer = WholeLayer(slide);
    ASSERT_FALSE(expectedLayer.empty());

    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0}, opened{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            // Until other slides have opened meanwhile too: on a busy machine the opening thread
            // may not start before a fixed number of reads is over.
            for (int i = 0; i < 15 || opened.load() < 2; ++i) {
                if (Region(slide, 10, 5, 150, 100) != expected) ++mismatches;
                int width = 0, height = 0;
                Dispose(GetSliceBgr(slide, 0, i % 3, i % 2, &width, &height));
                Dispose(GetDescription(slide));
            }
        });
    threads.emplace_back([&] {
        // Whole layers spread over the library's own threads.
        for (int i = 0; i < 4; ++i)
            if (WholeLayer(slide) != expectedLayer) ++mismatches;
    });
    threads.emplace_back([&] {
        const char* paths[] = {otherA.c_str(), otherB.c_str(), broken.c_str()};
        for (int i = 0; !stop; ++i) {
            ZyTarnInfo* other = ZyOpenTarn(paths[i % 3]);
            if (other != nullptr) {
                ++opened;
                Dispose(GetRoiSliceBgr(other, 0, 0, 0, 70, 70));
            }
            ZyCloseTarn(other);
        }
    });
    threads.emplace_back([&] {
        // The handle-less decoder reads whichever table the latest open published.
        while (!stop) {
            unsigned char* pixels = nullptr;
            ZyDecodeJpeg(tileJpeg.data(), tileJpeg.size(), &pixels, JCS_EXT_BGR);
            free(pixels);
        }
    });
    for (int t = 0; t < 4; ++t)
        threads[t].join();
    // Opens build tables on threads of their own and may take longer than the reads.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (opened < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    for (size_t t = 4; t < threads.size(); ++t)
        threads[t].join();

    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(opened, 0);
    EXPECT_EQ(Region(slide, 10, 5, 150, 100), expected);
    ZyCloseTarn(slide);
    tarn::SetPixelCacheCapacity(cache, capacity);
}

}  // namespace
