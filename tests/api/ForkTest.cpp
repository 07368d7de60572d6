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
#include "support/Memory.h"

namespace {

struct SlideFile {
    std::string path;
    explicit SlideFile(float gain, bool hevc = false) {
        tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(3, 2, 2);
        spec.gains[1] = gain;
        if (hevc) {
            spec.compressionType = 4;
            spec.tileEncoder = tarnwriter::HevcTiles();
        }
        Write(spec);
    }
    explicit SlideFile(const tarnwriter::SlideSpec& spec) { Write(spec); }
    void Write(const tarnwriter::SlideSpec& spec) {
        static const tarnwriter::ScratchDirectory directory("tarn-fork");
        static int count = 0;
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

// fork() copies only the calling thread, while other threads may be inside the tile cache's locks:
// a caller's reads, or the coarse-level build the library runs on a thread of its own (started by
// a Deep Zoom call that does not wait, as tarn serve makes). The child must read through the
// cache, build its own levels, and close a slide whose build it inherited half done.
TEST(Fork, ChildWorksWhateverOtherThreadsWereDoingAtTheFork) {
    // AddressSanitizer's allocator (clang 14) takes no lock around fork(): a child forked while
    // another thread allocates hangs in the sanitizer's own allocator, whatever the library does.
    if (tarntest::MemoryIsInstrumented())
        GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
    const SlideFile cached(1.0F), pyramid(tarnwriter::SampleSpec(10, 10, 1));  // one large layer
    tarn_slide* slide = tarn_open(cached.path.c_str());
    ASSERT_NE(slide, nullptr);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t pixel[3];
        while (!stop)
            tarn_read_region(slide, pixel, 0, 0, 0, 1, 1, TARN_FORMAT_RGB);
    });
    int stuck = 0;
    for (int i = 0; i < 24; ++i) {
        tarn_slide* large = tarn_open(pyramid.path.c_str());
        tarn_deepzoom* dz = tarn_deepzoom_create(large, 254, 1, 0);
        if (dz == nullptr) {
            ADD_FAILURE() << tarn_get_error(nullptr);
            tarn_close(large);
            break;
        }
        tarn_deepzoom_wait_level(dz, 0, 0);  // the build starts, and runs on
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
        const bool worked = InChild(
            [&] {
                uint8_t pixel[3];
                const bool read =
                    tarn_read_region(slide, pixel, 0, 0, 0, 1, 1, TARN_FORMAT_RGB) == 0;
                tarn_deepzoom_wait_level(dz, 0, 0);  // this process's own build
                tarn_deepzoom_destroy(dz);
                tarn_close(large);
                return read;
            },
            10);
        if (!worked) ++stuck;
        tarn_deepzoom_destroy(dz);
        tarn_close(large);
    }
    stop = true;
    reader.join();
    tarn_close(slide);
    EXPECT_EQ(stuck, 0) << "children that failed or hung";
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
