// tarn_close while other threads are inside reads of the same slide: it waits for them, and their
// reads complete with the right pixels (run under the sanitizers and ThreadSanitizer, where a
// close that freed the slide under a read would show).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "TarnApi/Slide.h"
#include "TarnWriter.h"
#include "support/TestFiles.h"
#include "tarn.h"

namespace {

// Slide bytes from memory whose reads, once `hold` is set, wait until it is cleared: the readers
// stay inside their calls for as long as the test needs, however fast the machine.
struct HeldReader {
    std::vector<uint8_t> bytes;
    std::atomic<bool> hold{false};

    tarn_reader Reader() {
        tarn_reader reader{};
        reader.context = this;
        reader.size = bytes.size();
        reader.read = [](void* context, uint64_t offset, void* buffer, size_t length) {
            auto* self = static_cast<HeldReader*>(context);
            while (self->hold)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::memcpy(buffer, self->bytes.data() + offset, length);
            return 0;
        };
        return reader;
    }
};

TEST(TarnClose, WaitsForReadsInFlight) {
    HeldReader held;
    held.bytes = tarnwriter::BuildSlide(tarnwriter::SampleSpec(6, 6, 1)).bytes;
    const tarntest::TempFile file(held.bytes);
    constexpr int64_t kSide = 6 * 256 - 37;  // the whole picture's width
    std::vector<uint8_t> expected(static_cast<size_t>(kSide * kSide * 4));
    {
        tarn_slide* quiet = tarn_open(file.c_str());
        ASSERT_NE(quiet, nullptr);
        ASSERT_EQ(tarn_read_region(quiet, expected.data(), 0, 0, 0, kSide, kSide, TARN_FORMAT_RGBA),
                  0);
        tarn_close(quiet);
    }
    constexpr int kReaders = 3;
    const tarn_reader reader = held.Reader();
    tarn_slide* slide = tarn_open_with_reader(&reader);
    ASSERT_NE(slide, nullptr) << tarn_get_error(nullptr);
    held.hold = true;
    std::vector<std::vector<uint8_t>> out(kReaders, std::vector<uint8_t>(expected.size()));
    std::vector<int> codes(kReaders, -2);
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r)
        readers.emplace_back([&, r] {
            codes[r] =
                tarn_read_region(slide, out[r].data(), 0, 0, 0, kSide, kSide, TARN_FORMAT_RGBA);
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (slide->gate.inFlight() < kReaders && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    const bool allInside = slide->gate.inFlight() == kReaders;

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        tarn_close(slide);
        closed = true;
    });
    // While every read is held, the close must still be waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool closedUnderReads = closed;
    held.hold = false;
    closer.join();
    for (std::thread& thread : readers)
        thread.join();
    EXPECT_TRUE(allInside);
    EXPECT_FALSE(closedUnderReads);
    for (int r = 0; r < kReaders; ++r) {
        EXPECT_EQ(codes[r], 0);
        EXPECT_TRUE(out[r] == expected) << "reader " << r;
    }
}

}  // namespace
