// Slide files that change or are not regular files: the open refuses what is not a regular file
// without blocking, and every read serves the file that was opened or fails. Whatever could block
// runs in a child process under an alarm, so a read that hangs fails the test instead.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "FixedApi/ZyCommon.h"
#include "support/Memory.h"
#include "support/SlideFixtures.h"
#include "support/Slides.h"
#include "support/TestFiles.h"

using tarntest::OpenSlide;
using tarntest::TempFile;
using tarnwriter::Bytes;

namespace {

// The statement must finish, and make the child exit 0, within ten seconds. Children leave with
// _exit: what the test process holds open is the parent's to release.
#define EXPECT_DONE_IN_TIME(statement) \
    EXPECT_EXIT(                       \
        {                              \
            alarm(10);                 \
            statement;                 \
        },                             \
        testing::ExitedWithCode(0), "")

// Every kind of read of layer 0, and whether each failed as a vanished file must.
bool EveryReadFails(ZyTarnInfo* slide) {
    unsigned char* data = nullptr;
    int size = 0, width = 0, height = 0;
    const int fetch = ZyGetJpegSliceOfSpecifyLayer(slide, &data, &size, 0, 0, 0);
    const int stored = ZyGetHevcSliceOfSpecifyLayer(slide, &data, &size, 0, 0, 0);
    const int tile = ZyGetRgbSliceOfSpecifyLayer(slide, &data, 0, 0, 0);
    const int region = ZyGetRoiRgbOfSpecifyLayer(slide, &data, 10, 10, 0, 0, 0);
    const int whole = ZySpecifyLayerJpeg2Rgb(slide, &data, &width, &height, 0);
    ZyImageInfo block{};
    const int blocks = ZyGetBlockJpegFromTarn(slide, &block, 75, 1, 1, 0, JCS_EXT_BGR);
    return fetch == ZY_E_SHORT_READ && stored == ZY_E_SHORT_READ && tile == ZY_E_SHORT_READ &&
           region == ZY_E_DECODE && whole == ZY_E_DECODE && blocks == ZY_E_DECODE &&
           data == nullptr && width == 0 && block.Data == nullptr &&
           GetSliceBgr(slide, 0, 0, 0, &width, &height) == nullptr;
}

// A region of layer 0 that spans stored tiles.
Bytes Region(ZyTarnInfo* slide) {
    unsigned char* data = GetRoiSliceBgr(slide, 0, 100, 50, 200, 100);
    Bytes out;
    if (data != nullptr) out.assign(data, data + 200 * 100 * 3);
    Dispose(data);
    return out;
}

TEST(SlideFile, OpenRefusesWhatIsNotARegularTarnFileAndSaysWhyInErrno) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string fifo = tarntest::TestDirectory() + "/pipe.tarn";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = tarntest::TestDirectory();
    // No writer ever opens the FIFO: an open that waited for one would never return.
    EXPECT_DONE_IN_TIME({
        bool refused = true;
        for (const char* path : {fifo.c_str(), directory.c_str(), "/dev/null"}) {
            errno = 0;
            refused = refused && ZyOpenTarn(path) == nullptr && errno == EINVAL;
        }
        _exit(refused ? 0 : 1);
    });
    unlink(fifo.c_str());

    errno = 0;
    EXPECT_EQ(ZyOpenTarn((tarntest::TestDirectory() + "/missing.tarn").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    Bytes damaged = tarntest::JpegSlide().bytes;
    damaged[0] = 'X';
    const TempFile file(damaged);
    errno = 0;
    EXPECT_EQ(ZyOpenTarn(file.c_str()), nullptr);
    EXPECT_EQ(errno, EINVAL);

    // A slide whose colour table does not fit in memory: the machine, not the file, failed.
    if (tarntest::MemoryIsInstrumented()) return;
    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(1, 1, 1);
    spec.gamma = 1.7F;  // parameters no earlier test built a table for
    const TempFile fresh(tarnwriter::BuildSlide(spec).bytes);
    EXPECT_DONE_IN_TIME({
        tarntest::CapAddressSpace(size_t{32} << 20);
        errno = 0;
        const bool failed = ZyOpenTarn(fresh.c_str()) == nullptr && errno == ENOMEM;
        _exit(failed ? 0 : 1);
    });
}

TEST(SlideFile, AFifoPutInPlaceOfTheSlideFailsEveryReadWithoutBlocking) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const TempFile file(tarntest::JpegSlide().bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    EXPECT_DONE_IN_TIME(_exit(EveryReadFails(slide.get()) ? 0 : 1));
}

TEST(SlideFile, ReadsFailOnceTheFileIsReplacedOrGone) {
    const tarnwriter::SlideFile& original = tarntest::JpegSlide();
    // Another slide of exactly the same layout: one byte of one tile's data differs.
    Bytes other = original.bytes;
    other[original.layout.tileOffsets[0][0] + original.layout.tileSizes[0][0] / 2] ^= 0x10;

    const TempFile file(original.bytes);
    OpenSlide slide(file);
    ASSERT_TRUE(slide);
    ASSERT_FALSE(Region(slide.get()).empty());
    const TempFile replacement(other);
    ASSERT_EQ(rename(replacement.c_str(), file.c_str()), 0);
    EXPECT_TRUE(EveryReadFails(slide.get()));
    OpenSlide reopened(file);  // a new handle reads the new file
    EXPECT_FALSE(Region(reopened.get()).empty());

    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_TRUE(EveryReadFails(reopened.get()));
}

// What a handle shows of its label, macrograph and thumbnail: every field and every byte.
struct ImageView {
    uint32_t width, height, channels, format, space;
    int32_t size;
    Bytes data, pixels;
    bool operator==(const ImageView&) const = default;
};

std::vector<ImageView> ImagesOf(const ZyTarnInfo* slide) {
    std::vector<ImageView> views;
    for (const ZyImageInfo* image :
         {slide->MacroImages[0], slide->MacroImages[1], slide->ThumbImage}) {
        ImageView view{image->Width,
                       image->Height,
                       image->Channels,
                       image->DataFormat,
                       image->ColorSpace,
                       image->DataSize,
                       {},
                       {}};
        view.data.assign(image->Data, image->Data + image->DataSize);
        if (image->Pixels != nullptr)
            view.pixels.assign(image->Pixels,
                               image->Pixels + size_t{image->Width} * image->Height * 3);
        views.push_back(std::move(view));
    }
    return views;
}

TEST(SlideFile, EveryOpenShowsItsOwnCopyOfTheFilesImagesAndAReplacedFileIsDecodedAnew) {
    const tarnwriter::SlideFile& original = tarntest::JpegSlide();
    const TempFile file(original.bytes);
    std::vector<ImageView> first;
    {
        OpenSlide slide(file);
        ASSERT_TRUE(slide);
        first = ImagesOf(slide.get());
        ASSERT_FALSE(first[0].pixels.empty());
    }
    OpenSlide held(file);
    OpenSlide again(file);  // opened beside another handle
    ASSERT_TRUE(held && again);
    EXPECT_EQ(ImagesOf(held.get()), first);
    EXPECT_EQ(ImagesOf(again.get()), first);
    EXPECT_NE(held->MacroImages[0]->Pixels, again->MacroImages[0]->Pixels);
    // A caller that writes into its handle's images changes no other handle's.
    memset(held->MacroImages[0]->Pixels, 0, 16);
    memset(held->ThumbImage->Data, 0, 4);
    EXPECT_EQ(ImagesOf(again.get()), first);
    EXPECT_EQ(ImagesOf(OpenSlide(file).get()), first);

    // The same layout with other label pixels: one byte of the label's stored data differs.
    Bytes other = original.bytes;
    const uint64_t at = original.layout.macroData[0] + (held->MacroImages[0]->DataSize * 3) / 4;
    other[at] = other[at] == 0x20 ? 0x21 : 0x20;
    const TempFile replacement(other);
    ASSERT_EQ(rename(replacement.c_str(), file.c_str()), 0);
    OpenSlide replaced(file);
    ASSERT_TRUE(replaced);
    const std::vector<ImageView> now = ImagesOf(replaced.get());
    EXPECT_EQ(
        now[0].data,
        Bytes(other.begin() + static_cast<ptrdiff_t>(original.layout.macroData[0]),
              other.begin() + static_cast<ptrdiff_t>(original.layout.macroData[0] + now[0].size)));
    EXPECT_NE(now[0].pixels, first[0].pixels);
    EXPECT_EQ(now[1], first[1]);
}

TEST(SlideFile, ARelativePathKeepsNamingTheFileOpenedAfterChdir) {
    char* home = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(tarntest::TestDirectory().c_str()), 0);
    tarnwriter::WriteFile("relative.tarn", tarntest::JpegSlide().bytes);
    OpenSlide slide("relative.tarn");
    ASSERT_TRUE(slide);
    const Bytes before = Region(slide.get());
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_STREQ(slide->Path, "relative.tarn");  // callers see the path they gave
    EXPECT_EQ(Region(slide.get()), before);
    ASSERT_EQ(chdir(home), 0);
    free(home);
    unlink((tarntest::TestDirectory() + "/relative.tarn").c_str());
}

}  // namespace
