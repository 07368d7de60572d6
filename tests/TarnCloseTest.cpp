// tarn_close while other threads are inside reads of the same slide: it waits for them, and their
// reads complete with the right pixels (run under the sanitizers and ThreadSanitizer, where a
// close that freed the slide under a read would show).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Core/TileCache.h"
#include "TarnApi/Slide.h"
#include "TarnWriter.h"
#include "support/TestFiles.h"
#include "tarn.h"

namespace {

TEST(TarnClose, WaitsForReadsInFlight) {
    // Reads must take long enough to be caught inside: cached tiles would not.
    tarn_cache_set_capacity(nullptr, 0);
    const tarntest::TempFile file(tarnwriter::BuildSlide(tarnwriter::SampleSpec(6, 6, 1)).bytes);
    constexpr int64_t kSide = 6 * 256 - 37;  // the whole picture's width: a long read
    std::vector<uint8_t> expected(static_cast<size_t>(kSide * kSide * 4));
    {
        tarn_slide* quiet = tarn_open(file.c_str());
        ASSERT_NE(quiet, nullptr);
        ASSERT_EQ(tarn_read_region(quiet, expected.data(), 0, 0, 0, kSide, kSide, TARN_FORMAT_RGBA),
                  0);
        tarn_close(quiet);
    }
    constexpr int kReaders = 3;
    for (int round = 0; round < 2; ++round) {
        tarn_slide* slide = tarn_open(file.c_str());
        ASSERT_NE(slide, nullptr);
        std::vector<std::vector<uint8_t>> out(kReaders, std::vector<uint8_t>(expected.size()));
        std::vector<int> codes(kReaders, -2);
        std::vector<std::thread> readers;
        std::atomic<bool> go{false};
        for (int r = 0; r < kReaders; ++r)
            readers.emplace_back([&, r] {
                while (!go)
                    std::this_thread::yield();
                codes[r] =
                    tarn_read_region(slide, out[r].data(), 0, 0, 0, kSide, kSide, TARN_FORMAT_RGBA);
            });
        go = true;
        // Close only once every reader is inside its call.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (slide->gate.inFlight() < kReaders && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        const bool allInside = slide->gate.inFlight() == kReaders;
        if (!allInside)
            for (std::thread& reader : readers)
                reader.join();
        tarn_close(slide);
        if (allInside)
            for (std::thread& reader : readers)
                reader.join();
        ASSERT_TRUE(allInside);
        for (int r = 0; r < kReaders; ++r) {
            EXPECT_EQ(codes[r], 0);
            EXPECT_TRUE(out[r] == expected) << "reader " << r;
        }
    }
    tarn_cache_set_capacity(nullptr, tarn::kDefaultTileCacheSize);
}

}  // namespace
