// Sharing of colour tables: one table per parameter set, a small cache of released tables, the
// reference that `ColorTable` holds, and all of it from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarnCxx.h"

namespace {

using tarn::AcquireColorLut;
using tarn::ColorLut;
using tarn::ColorParams;
using tarn::ReleaseColorLut;

// Parameters that differ only in gamma; each value gives a table of its own.
ColorParams WithGamma(float gamma) {
    ColorParams params = tarn::NeutralColorParams();
    params.gamma = gamma;
    return params;
}

class ColorCache : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        tarn::PublishColorTable(nullptr);
        tarn::TrimColorLutCache();
    }
    static uint64_t Builds() { return tarn::ColorLutBuildCount(); }
};

TEST_F(ColorCache, SameParametersShareOneTable) {
    const uint64_t before = Builds();
    const ColorLut* a = AcquireColorLut(WithGamma(1.3f));
    const ColorLut* b = AcquireColorLut(WithGamma(1.3f));
    EXPECT_EQ(a, b);
    EXPECT_EQ(Builds(), before + 1);
    ReleaseColorLut(a);
    ReleaseColorLut(b);
}

TEST_F(ColorCache, ReleasedTablesStayCachedUpToTwo) {
    const uint64_t before = Builds();
    for (float gamma : {1.1f, 1.2f})
        ReleaseColorLut(AcquireColorLut(WithGamma(gamma)));
    ReleaseColorLut(AcquireColorLut(WithGamma(1.1f)));  // a reopen: no build
    EXPECT_EQ(Builds(), before + 2);

    // 1.2 is now the least recently released; a third released table pushes it out.
    ReleaseColorLut(AcquireColorLut(WithGamma(1.3f)));
    ReleaseColorLut(AcquireColorLut(WithGamma(1.1f)));
    EXPECT_EQ(Builds(), before + 3);
    ReleaseColorLut(AcquireColorLut(WithGamma(1.2f)));
    EXPECT_EQ(Builds(), before + 4);

    tarn::TrimColorLutCache();
    ReleaseColorLut(AcquireColorLut(WithGamma(1.1f)));
    EXPECT_EQ(Builds(), before + 5);
}

// A slide's reference keeps its table while ColorTable moves on, and DisposeColorCorrectTable on
// a shared table only drops the global reference.
TEST_F(ColorCache, GlobalReferenceLifecycle) {
    const ColorLut* slide = AcquireColorLut(WithGamma(1.4f));
    ASSERT_NE(slide, nullptr);
    ColorCorrectTable* view = tarn::ExportedTable(slide);
    tarn::PublishColorTable(slide);
    EXPECT_EQ(ColorTable, view);

    DisposeColorCorrectTable(ColorTable);
    EXPECT_EQ(ColorTable, nullptr);
    tarn::TrimColorLutCache();  // the slide still holds it: nothing to trim
    const uint64_t before = Builds();
    const ColorLut* again = AcquireColorLut(WithGamma(1.4f));
    EXPECT_EQ(again, slide);
    EXPECT_EQ(Builds(), before);
    EXPECT_EQ(view->plane[0][255][0][0], 255);  // still readable
    ReleaseColorLut(again);

    // Disposing a shared table that ColorTable does not hold changes nothing.
    const ColorLut* other = AcquireColorLut(WithGamma(1.5f));
    tarn::PublishColorTable(other);
    DisposeColorCorrectTable(view);
    EXPECT_EQ(ColorTable, tarn::ExportedTable(other));
    EXPECT_EQ(view->plane[1][0][255][0], 255);

    // Dropping the last references leaves the tables cached, not freed.
    ReleaseColorLut(other);
    ReleaseColorLut(slide);
    tarn::PublishColorTable(nullptr);
    EXPECT_EQ(ColorTable, nullptr);
    ReleaseColorLut(AcquireColorLut(WithGamma(1.4f)));
    ReleaseColorLut(AcquireColorLut(WithGamma(1.5f)));
    EXPECT_EQ(Builds(), before + 1);
}

TEST_F(ColorCache, PinnedGlobalTableOutlivesReplacement) {
    const ColorLut* first = AcquireColorLut(WithGamma(1.6f));
    tarn::PublishColorTable(first);
    ReleaseColorLut(first);
    {
        const tarn::PinnedGlobalTable pin;
        ASSERT_EQ(pin.lookup().packed, tarn::LookupOf(first).packed);
        tarn::PublishColorTable(nullptr);
        tarn::TrimColorLutCache();
        EXPECT_EQ(pin.lookup().packed[0xFFFFFF], 0xFFFFFFu);  // white stays white
    }
    EXPECT_FALSE(tarn::PinnedGlobalTable().lookup());
}

TEST_F(ColorCache, ConcurrentAskersBuildOnce) {
    const uint64_t before = Builds();
    constexpr int kThreads = 4;
    std::atomic<int> ready{0};
    const ColorLut* got[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < kThreads)
                std::this_thread::yield();
            got[t] = AcquireColorLut(WithGamma(1.7f));
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(Builds(), before + 1);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(got[t], got[0]);
        ReleaseColorLut(got[t]);
    }
}

// Slides opening and closing on several threads while others correct pixels through the
// global table: references must balance and no table may vanish under a reader.
TEST_F(ColorCache, ConcurrentAcquireReleaseAndPublish) {
    const float gammas[2] = {1.1f, 1.2f};
    for (float gamma : gammas)
        ReleaseColorLut(AcquireColorLut(WithGamma(gamma)));
    const uint64_t before = Builds();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            unsigned char pixels[12] = {255, 255, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0};
            for (int i = 0; i < 200; ++i) {
                const ColorLut* lut = AcquireColorLut(WithGamma(gammas[(t + i) % 2]));
                if (t % 2 == 0) tarn::PublishColorTable(lut);
                if (unsigned char* out = RgbColorCorrect(pixels, 4, 1, 3)) {
                    EXPECT_EQ(out[0], 255);
                    EXPECT_EQ(out[3], 0);
                    free(out);
                }
                if (t == 3 && i == 100) tarn::TrimColorLutCache();
                ReleaseColorLut(lut);
            }
        });
    for (auto& thread : threads)
        thread.join();
    tarn::PublishColorTable(nullptr);
    // Trimming ran while tables were in use; only unreferenced ones may have gone, and they are
    // rebuilt on demand.
    EXPECT_LE(Builds(), before + 3);
    const ColorLut* lut = AcquireColorLut(WithGamma(1.1f));
    EXPECT_NE(lut, nullptr);
    ReleaseColorLut(lut);
}

}  // namespace
