// A process that used the library and then forks must find it working in the child: Python's
// multiprocessing and PyTorch's DataLoader workers fork by default on Linux. The child opens a
// slide with colours of its own (so a table is built on the library's threads), decodes a whole
// layer on every thread and reads regions. A child that hangs is killed after a bounded time and
// fails the test.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "DecodeTarn.h"
#include "HevcEncoder.h"
#include "TarnWriter.h"
#include "tarn.h"

namespace {

struct SlideFile {
    std::string path;
    explicit SlideFile(float gain, bool hevc = false) {
        static const tarnwriter::ScratchDirectory directory("tarn-fork");
        static int count = 0;
        tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(3, 2, 2);
        spec.gains[1] = gain;
        if (hevc) {
            spec.compressionType = 4;
            spec.tileEncoder = tarnwriter::HevcTiles();
        }
        path = directory.path() + "/slide" + std::to_string(count++) + ".tarn";
        tarnwriter::WriteFile(path, tarnwriter::BuildSlide(spec).bytes);
    }
    ~SlideFile() { unlink(path.c_str()); }
};

// Runs `body` in a forked child; true when it exits 0 within `seconds`. A child still running
// then is killed.
bool InChild(const std::function<bool()>& body, int seconds = 60) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    if (pid < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Everything parallel the library does, on a slide: its open, a whole layer, a region.
bool UseSlide(const std::string& path) {
    ZyTarnInfo* slide = ZyOpenTarn(path.c_str());
    if (slide == nullptr) return false;
    unsigned char* layer = nullptr;
    int width = 0, height = 0;
    const bool decoded = ZySpecifyLayerJpeg2Rgb(slide, &layer, &width, &height, 0) == 0;
    Dispose(layer);
    unsigned char* region = GetRoiSliceBgr(slide, 0, 100, 50, 300, 200);
    Dispose(region);
    ZyCloseTarn(slide);
    return decoded && region != nullptr;
}

// A child that uses a slide with colours no process has built a table for yet.
bool ChildWorks() {
    static float gain = 1.3F;
    gain += 0.01F;
    const SlideFile other(gain);
    return InChild([&] { return UseSlide(other.path); });
}

TEST(Fork, ChildrenWorkAfterEveryKindOfParallelWork) {
    const SlideFile first(1.0F), second(0.8F);
    ZyTarnInfo* slide = ZyOpenTarn(first.path.c_str());  // a table built
    ASSERT_NE(slide, nullptr);
    EXPECT_TRUE(ChildWorks()) << "after an open";
    unsigned char* layer = nullptr;
    int width = 0, height = 0;
    ASSERT_EQ(ZySpecifyLayerJpeg2Rgb(slide, &layer, &width, &height, 0), 0);
    Dispose(layer);
    EXPECT_TRUE(ChildWorks()) << "after a whole-layer decode";
    ZyCloseTarn(slide);
    EXPECT_TRUE(ChildWorks()) << "after a close";
    ZyTarnInfo* again = ZyOpenTarn(second.path.c_str());  // another table built
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(ChildWorks()) << "after a second table";
    ZyCloseTarn(again);
}

// A thread keeps its HEVC decoder from tile to tile; the child of a fork inherits the decoder of
// the thread that forked, and must decode with it exactly as the parent does.
TEST(Fork, ChildDecodesHevcWithTheDecoderItInherited) {
    tarn_cache_set_capacity(nullptr, 0);  // every read decodes
    const SlideFile hevc(1.0F, true);
    ZyTarnInfo* slide = ZyOpenTarn(hevc.path.c_str());
    ASSERT_NE(slide, nullptr);
    unsigned char* parent = GetRoiSliceBgr(slide, 0, 100, 50, 300, 200);
    ASSERT_NE(parent, nullptr);
    EXPECT_TRUE(InChild([&] {
        unsigned char* child = GetRoiSliceBgr(slide, 0, 100, 50, 300, 200);
        const bool same = child != nullptr && memcmp(child, parent, size_t{300} * 200 * 3) == 0;
        Dispose(child);
        return same;
    }));
    Dispose(parent);
    ZyCloseTarn(slide);
    tarn_cache_set_capacity(nullptr, size_t{64} << 20);
}

// A slide read through a caller's reader that, in the process that opened it, holds every read
// while `hold` is set: a read of the library's own threads can be caught in flight.
struct HeldReader {
    tarnwriter::Bytes bytes;
    pid_t owner = getpid();
    std::atomic<bool> hold{false};
    std::atomic<int> held{0};

    tarn_reader Reader() {
        tarn_reader reader{};
        reader.context = this;
        reader.size = bytes.size();
        reader.read = [](void* context, uint64_t offset, void* buffer, size_t length) {
            auto* self = static_cast<HeldReader*>(context);
            if (getpid() == self->owner && self->hold) {
                ++self->held;
                while (self->hold)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            memcpy(buffer, self->bytes.data() + offset, length);
            return 0;
        };
        return reader;
    }
};

// tarn serve asks for Deep Zoom tiles without waiting, which starts the coarse-level build on a
// thread of the library's own; a fork while that thread is inside a read must leave the child
// able to read the slide (building its own levels) and to close it.
TEST(Fork, ChildClosesASlideWhoseCoarseLevelsWereBeingBuilt) {
    HeldReader source;
    source.bytes = tarnwriter::BuildSlide(tarnwriter::SampleSpec(10, 10, 1)).bytes;  // one layer
    const tarn_reader reader = source.Reader();
    tarn_slide* slide = tarn_open_with_reader(&reader);
    ASSERT_NE(slide, nullptr) << tarn_get_error(nullptr);
    tarn_deepzoom* dz = tarn_deepzoom_create(slide, 254, 1, 0);
    ASSERT_NE(dz, nullptr);
    source.hold = true;
    ASSERT_EQ(tarn_deepzoom_wait_level(dz, 0, 0), 0);  // the build starts and is held at once
    for (int waited = 0; source.held == 0 && waited < 10000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(source.held, 0) << "the build read nothing";
    EXPECT_TRUE(InChild(
        [&] {
            uint8_t pixel[3];
            const bool read = tarn_deepzoom_read_tile(dz, 0, 0, 0, pixel, TARN_FORMAT_RGB) == 0;
            tarn_deepzoom_destroy(dz);
            tarn_close(slide);
            return read;
        },
        30));
    source.hold = false;
    tarn_deepzoom_destroy(dz);
    tarn_close(slide);
}

// GCC's OpenMP runtime, loaded first with global binding (as importing PyTorch does) and run, must
// not be what the library's parallel work ends up in: that runtime hangs in a forked child's first
// parallel region. The whole scenario runs in a child of its own, to keep the runtime out of the
// test process.
using GompParallel = void (*)(void (*)(void*), void*, unsigned, unsigned);

void CountThread(void* count) {
    static_cast<std::atomic<int>*>(count)->fetch_add(1);
}

TEST(Fork, ChildrenWorkAfterGccOpenMpRanFirstWithGlobalBinding) {
    const bool scenario = InChild([] {
        void* gomp = dlopen("libgomp.so.1", RTLD_NOW | RTLD_GLOBAL);
        if (gomp == nullptr) return true;  // no GCC runtime on this machine: nothing to show
        auto processors = reinterpret_cast<int (*)()>(dlsym(gomp, "omp_get_num_procs"));
        auto parallel = reinterpret_cast<GompParallel>(dlsym(gomp, "GOMP_parallel"));
        if (processors == nullptr || parallel == nullptr) return false;
        // A parallel region of at least two threads: the runtime now keeps a thread pool.
        std::atomic<int> threads{0};
        parallel(CountThread, &threads, static_cast<unsigned>(processors() > 1 ? processors() : 2),
                 0);
        if (threads < 2) return false;
        const SlideFile slide(0.9F);
        return UseSlide(slide.path) && ChildWorks();
    });
    EXPECT_TRUE(scenario);
}

}  // namespace
