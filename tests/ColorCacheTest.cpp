// Sharing of colour tables: one table per parameter set, a small cache of released tables, the
// reference that `ColorTable` holds, and all of it from several threads at once.
#include <gtest/gtest.h>

#include "FixedApi/RecordViews.h"
#include "support/TableFolder.h"

#include <atomic>
#include <thread>
#include <vector>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarnCxx.h"

namespace {

using tarn::AcquireColorLut;
using tarn::ColorLut;
using tarn::ReleaseColorLut;

// Parameters that differ only in gamma; each value gives a table of its own.
tarn::ColorParams WithGamma(float gamma) {
    tarn::ColorParams params = tarn::NeutralColorParams();
    params.gamma = gamma;
    return params;
}

// Acquires and at once releases: what opening and closing a slide does to the registry.
void OpenAndClose(float gamma) {
    ReleaseColorLut(AcquireColorLut(WithGamma(gamma)));
}

class ColorCache : public tarntest::NoTableFolderTest {
  protected:
    static uint64_t Builds() { return tarn::ColorLutBuildCount(); }
};

// Without a folder a released table stays in memory, the latest one only.
TEST_F(ColorCache, SharesTablesAndKeepsTheLatestReleased) {
    const uint64_t before = Builds();
    const ColorLut* a = AcquireColorLut(WithGamma(1.1f));
    EXPECT_EQ(AcquireColorLut(WithGamma(1.1f)), a);
    ReleaseColorLut(a);
    ReleaseColorLut(a);
    OpenAndClose(1.1f);  // reopen: cached
    EXPECT_EQ(Builds(), before + 1);

    OpenAndClose(1.2f);  // pushes out 1.1
    OpenAndClose(1.2f);
    EXPECT_EQ(Builds(), before + 2);
    OpenAndClose(1.1f);
    EXPECT_EQ(Builds(), before + 3);

    tarn::TrimColorLutCache();
    OpenAndClose(1.1f);
    EXPECT_EQ(Builds(), before + 4);
}

// A slide's reference keeps its table while ColorTable moves on, and DisposeColorCorrectTable on
// a shared table only drops the global reference.
TEST_F(ColorCache, GlobalReferenceLifecycle) {
    const ColorLut* slide = AcquireColorLut(WithGamma(1.4f));
    ASSERT_NE(slide, nullptr);
    ColorCorrectTable* view = tarn::AsFixed(tarn::ExportedTable(slide));
    tarn::PublishColorTable(slide);
    EXPECT_EQ(ColorTable, view);
    DisposeColorCorrectTable(ColorTable);
    EXPECT_EQ(ColorTable, nullptr);
    tarn::TrimColorLutCache();  // the slide still holds it
    const uint64_t before = Builds();
    EXPECT_EQ(AcquireColorLut(WithGamma(1.4f)), slide);
    ReleaseColorLut(slide);
    EXPECT_EQ(view->plane[0][255][0][0], 255);

    // Disposing a shared table that ColorTable does not hold changes nothing.
    const ColorLut* other = AcquireColorLut(WithGamma(1.5f));
    tarn::PublishColorTable(other);
    DisposeColorCorrectTable(view);
    EXPECT_EQ(ColorTable, tarn::AsFixed(tarn::ExportedTable(other)));
    EXPECT_EQ(view->plane[1][0][255][0], 255);

    // A decode in progress pins the global table across its replacement.
    ReleaseColorLut(other);
    ReleaseColorLut(slide);
    {
        const tarn::PinnedGlobalTable pin;
        tarn::PublishColorTable(nullptr);
        tarn::TrimColorLutCache();
        EXPECT_EQ(pin.lookup().packed, tarn::LookupOf(other).packed);
        EXPECT_EQ(pin.lookup().packed[0xFFFFFF], 0xFFFFFFu);  // white stays white
    }
    EXPECT_FALSE(tarn::PinnedGlobalTable().lookup());
    OpenAndClose(1.5f);  // cached once the pin went
    EXPECT_EQ(Builds(), before + 1);
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
    for (const ColorLut* lut : got) {
        EXPECT_EQ(lut, got[0]);
        ReleaseColorLut(lut);
    }
}

// Slides opening and closing on several threads while others correct pixels through the global
// table: references must balance and no table may vanish under a reader. The tables come from
// the folder, so they are mapped and unmapped all the time.
using ColorCacheWithFolder = tarntest::TableFolderTest;

TEST_F(ColorCacheWithFolder, ConcurrentAcquireReleaseAndPublish) {
    OpenAndClose(1.1f);
    OpenAndClose(1.2f);
    tarn::WaitForColorLutWrites();
    const uint64_t before = tarn::ColorLutBuildCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            unsigned char pixels[12] = {255, 255, 255, 0, 0, 0, 255, 255, 255, 0, 0, 0};
            for (int i = 0; i < 200; ++i) {
                const ColorLut* lut = AcquireColorLut(WithGamma((t + i) % 2 ? 1.1f : 1.2f));
                if (t % 2 == 0) tarn::PublishColorTable(lut);
                if (unsigned char* out = RgbColorCorrect(pixels, 4, 1, 3)) {
                    EXPECT_EQ(out[0] + out[3], 255);
                    free(out);
                }
                if (t == 3 && i == 100) tarn::TrimColorLutCache();
                ReleaseColorLut(lut);
            }
        });
    for (auto& thread : threads)
        thread.join();
    tarn::PublishColorTable(nullptr);
    EXPECT_EQ(tarn::ColorLutBuildCount(), before);
}

}  // namespace
