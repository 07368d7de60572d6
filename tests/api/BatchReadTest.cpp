// Patches read by the batch (tarn_read_regions, the batch reader) against one tarn_read_region per
// patch, failures that stay with their patches, and readers across fork().
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/SlideFixtures.h"
#include "support/TestFiles.h"
#include "tarn.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Aligned to the tiles, one pixel off them, straddling every edge, far outside, and repeated.
std::vector<int64_t> Positions(int64_t downsample) {
    const std::vector<int64_t> level = {0,   0,   1, 1, 127,  95, 128, 96,   -7,  -9,  300, 200,
                                        470, 250, 0, 0, -500, 40, 200, 2000, 255, 191, 1,   1};
    std::vector<int64_t> xy;
    for (int64_t v : level)
        xy.push_back(v * downsample);
    return xy;
}

// The patches one tarn_read_region at a time, and each call's outcome.
Bytes OneByOne(tarn_slide* slide, const std::vector<int64_t>& xy, int32_t level, int64_t w,
               int64_t h, tarn_format format, std::vector<int>* codes) {
    const size_t bytes = static_cast<size_t>(w * h * tarn_format_bytes(format));
    Bytes out(xy.size() / 2 * bytes);
    for (size_t i = 0; i < xy.size() / 2; ++i)
        codes->push_back(tarn_read_region(slide, out.data() + i * bytes, xy[2 * i], xy[2 * i + 1],
                                          level, w, h, format));
    return out;
}

// Every batch of a reader, concatenated; -1 in *code when a batch failed.
Bytes Stream(tarn_slide* slide, const std::vector<int64_t>& xy, int32_t level, int64_t w, int64_t h,
             tarn_format format, int64_t batch, int32_t prefetch, int threads, int* code) {
    const size_t bytes = static_cast<size_t>(w * h * tarn_format_bytes(format));
    const auto count = static_cast<int64_t>(xy.size() / 2);
    tarn_batch_reader* reader = tarn_batch_reader_create(slide, count, xy.data(), level, w, h,
                                                         format, batch, prefetch, threads);
    EXPECT_NE(reader, nullptr) << tarn_get_error(slide);
    Bytes out, buffer(static_cast<size_t>(batch) * bytes);
    *code = 0;
    int64_t filled = 0;
    for (;;) {
        if (tarn_batch_reader_next(reader, buffer.data(), &filled) != 0) *code = -1;
        if (filled == 0) break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + filled * bytes);
    }
    tarn_batch_reader_destroy(reader);
    return out;
}

TEST(TarnBatches, EqualOneReadPerPatchInEveryLayoutLevelAndWorkerCount) {
    for (const std::string& path : {tarntest::JpegSlidePath(), tarntest::HevcSlidePath(false)}) {
        tarn_slide* slide = tarn_open(path.c_str());
        ASSERT_NE(slide, nullptr);
        for (int32_t level = 0; level < tarn_get_level_count(slide); ++level) {
            const auto xy =
                Positions(static_cast<int64_t>(tarn_get_level_downsample(slide, level)));
            const auto count = static_cast<int64_t>(xy.size() / 2);
            for (tarn_format format : {TARN_FORMAT_RGBA, TARN_FORMAT_BGR}) {
                std::vector<int> codes;
                const Bytes expected = OneByOne(slide, xy, level, 130, 97, format, &codes);
                ASSERT_EQ(codes, std::vector<int>(codes.size(), 0));
                for (int threads : {1, 2}) {
                    Bytes batch(expected.size(), 0x5A);
                    std::vector<int> status(static_cast<size_t>(count), 7);
                    EXPECT_EQ(tarn_read_regions(slide, count, xy.data(), level, 130, 97, format,
                                                batch.data(), status.data(), threads),
                              0);
                    EXPECT_EQ(status, codes);
                    EXPECT_TRUE(batch == expected) << path << " level " << level;
                    int code = 0;
                    EXPECT_TRUE(Stream(slide, xy, level, 130, 97, format, 5, 2, threads, &code) ==
                                expected);
                    EXPECT_EQ(code, 0);
                }
                int code = 0;
                EXPECT_TRUE(Stream(slide, xy, level, 130, 97, format, 3, 0, 1, &code) == expected);
            }
        }
        // Nothing to read succeeds; wrong arguments fail every patch and say why.
        EXPECT_EQ(
            tarn_read_regions(slide, 0, nullptr, 0, 8, 8, TARN_FORMAT_RGB, nullptr, nullptr, 1), 0);
        const int64_t xy[] = {0, 0, 5, 5};
        std::vector<int> status(2, 0);
        Bytes out(2 * 8 * 8 * 4);
        EXPECT_EQ(tarn_read_regions(slide, 2, xy, 9, 8, 8, TARN_FORMAT_RGBA, out.data(),
                                    status.data(), 1),
                  -1);
        EXPECT_EQ(status, std::vector<int>(2, -1));
        EXPECT_NE(tarn_get_error(slide), nullptr);
        EXPECT_EQ(tarn_read_regions(slide, 2, xy, 0, INT64_MAX / 2, 8, TARN_FORMAT_RGBA, out.data(),
                                    nullptr, 1),
                  -1);
        EXPECT_EQ(tarn_read_regions(slide, 2, xy, 0, 8, 8, TARN_FORMAT_RGBA, nullptr, nullptr, 1),
                  -1);
        EXPECT_EQ(tarn_batch_reader_create(slide, 2, xy, 0, 8, 8, TARN_FORMAT_RGBA, 0, 1, 1),
                  nullptr);
        int64_t filled = 5;
        EXPECT_EQ(tarn_batch_reader_next(nullptr, out.data(), &filled), -1);
        EXPECT_EQ(filled, 0);
        tarn_close(slide);
    }
}

TEST(TarnBatches, AFailedPatchLeavesTheOthersRead) {
    // Tile 2 of level 0 (columns 256 to 383 of the first row) no longer decodes.
    const tarntest::TempFile file(tarntest::WithBrokenTile(tarntest::JpegSlide(), 2));
    tarn_slide* slide = tarn_open(file.path().c_str());
    ASSERT_NE(slide, nullptr);
    const std::vector<int64_t> xy = {0, 0, 250, 10, 300, 10, 10, 100, 390, 10, 260, 100};
    const std::vector<int> expected = {0, -1, -1, 0, 0, 0};
    std::vector<int> codes;
    const Bytes single = OneByOne(slide, xy, 0, 20, 20, TARN_FORMAT_RGB, &codes);
    ASSERT_EQ(codes, expected);
    for (int threads : {1, 2}) {
        Bytes batch(single.size());
        std::vector<int> status(expected.size());
        EXPECT_EQ(tarn_read_regions(slide, 6, xy.data(), 0, 20, 20, TARN_FORMAT_RGB, batch.data(),
                                    status.data(), threads),
                  -1);
        EXPECT_EQ(status, expected);
        ASSERT_NE(tarn_get_error(slide), nullptr);
        EXPECT_NE(std::string(tarn_get_error(slide)).find("does not decode"), std::string::npos);
        const size_t bytes = 20 * 20 * 3;
        for (size_t i = 0; i < expected.size(); ++i) {
            if (expected[i] == 0) {
                EXPECT_EQ(memcmp(batch.data() + i * bytes, single.data() + i * bytes, bytes), 0);
            }
        }
        int code = 0;
        const Bytes streamed = Stream(slide, xy, 0, 20, 20, TARN_FORMAT_RGB, 2, 1, threads, &code);
        EXPECT_EQ(code, -1);
        EXPECT_EQ(streamed.size(), single.size());  // every batch delivered, the failed one too
    }
    tarn_close(slide);
}

TEST(TarnBatches, AForkedChildMakesItsOwnReaderWhileTheParentsGoesOn) {
    tarn_slide* slide = tarn_open(tarntest::JpegSlidePath().c_str());
    ASSERT_NE(slide, nullptr);
    std::vector<int64_t> xy;
    for (int64_t y = 0; y < 300; y += 40)
        for (int64_t x = 0; x < 470; x += 40) {
            xy.push_back(x);
            xy.push_back(y);
        }
    const auto count = static_cast<int64_t>(xy.size() / 2);
    const size_t bytes = 64 * 64 * 4;
    Bytes expected(static_cast<size_t>(count) * bytes);
    ASSERT_EQ(tarn_read_regions(slide, count, xy.data(), 0, 64, 64, TARN_FORMAT_RGBA,
                                expected.data(), nullptr, 2),
              0);
    tarn_batch_reader* reader =
        tarn_batch_reader_create(slide, count, xy.data(), 0, 64, 64, TARN_FORMAT_RGBA, 4, 3, 2);
    ASSERT_NE(reader, nullptr);
    Bytes got(static_cast<size_t>(count) * bytes);
    int64_t filled = 0, done = 0;
    ASSERT_EQ(tarn_batch_reader_next(reader, got.data(), &filled), 0);
    done += filled;
    const pid_t pid = fork();
    if (pid == 0) {
        // The parent's reader has no workers here; the child's own readers do.
        Bytes mine(static_cast<size_t>(count) * bytes), buffer(4 * bytes);
        int64_t n = 0;
        bool ok = tarn_batch_reader_next(reader, buffer.data(), &n) == -1 && n == 0;
        tarn_batch_reader_destroy(reader);
        tarn_batch_reader* own =
            tarn_batch_reader_create(slide, count, xy.data(), 0, 64, 64, TARN_FORMAT_RGBA, 4, 2, 2);
        int64_t at = 0;
        while (own != nullptr && tarn_batch_reader_next(own, buffer.data(), &n) == 0 && n > 0) {
            memcpy(mine.data() + at * bytes, buffer.data(), static_cast<size_t>(n) * bytes);
            at += n;
        }
        tarn_batch_reader_destroy(own);
        ok = ok && at == count && mine == expected;
        _exit(ok ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    while (tarn_batch_reader_next(reader, got.data() + done * bytes, &filled) == 0 && filled > 0)
        done += filled;
    tarn_batch_reader_destroy(reader);
    EXPECT_EQ(done, count);
    EXPECT_TRUE(got == expected);
    // A child that hangs is killed after a minute and fails the test.
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == 6000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    tarn_close(slide);
}

}  // namespace
