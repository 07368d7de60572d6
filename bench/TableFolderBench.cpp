// Colour tables shared through the table folder: what a lookup costs through a table mapped from
// its file against the same table built in this process, what writing a table costs, and what a
// second process pays to open a slide whose table waits in the folder.
//
// How the mapping's cost was weighed: a built table lies in anonymous huge pages, so a random
// lookup costs at most a cache miss. A file mapping normally uses 4 KiB pages, and lookups
// spread over 64 MiB then miss the TLB too. A write leaves the file in the page cache in small
// folios, so the writer drops them and reads the packed entries back through a huge-page mapping,
// which brings them back in 2 MiB folios; mappings at a huge-page-aligned address then map those
// whole, and lookups cost what they cost in a built table (argument 1 against argument 0, with
// the huge_MiB counter). Argument 2 maps the same file 4 KiB off that alignment, which forces
// 4 KiB pages: the cost where the page cache holds the file in small folios (a filesystem or
// kernel without large folios). MAP_POPULATE was not taken: it would read the whole file on the
// open path when it is not in the page cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchSlides.h"
#include "ColorCorrect/ColorLut.h"
#include "ColorCorrect/TableFiles.h"
#include "DecodeJpeg/JpegCodec.h"
#include "DecodeTarn.h"
#include "TarnWriter.h"

extern char** environ;

namespace {

// Benchmarks run without a table folder unless they name one, so every other benchmark measures
// what it did before, and none writes into the user's folder.
[[maybe_unused]] const bool kFolderOff = setenv("TARN_CACHE_DIR", "", 1) == 0;

std::string BenchTableFolder() {
    return tarnbench::BenchDirectory() + "/tables";
}

tarn::CacheFolder NamedFolder(const std::string& path) {
    tarn::CacheFolder folder{};
    path.copy(folder.path, sizeof folder.path - 1);
    folder.limit = tarn::kDefaultFolderLimit;
    return folder;
}

// KiB of a mapping's lines in /proc/self/smaps that start with `field` (e.g. "FilePmdMapped:").
long SmapsKib(const void* address, const char* field) {
    std::ifstream smaps("/proc/self/smaps");
    const auto target = reinterpret_cast<uintptr_t>(address);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long begin = 0, end = 0;
        if (sscanf(line.c_str(), "%lx-%lx ", &begin, &end) == 2) {
            inside = begin <= target && target < end;
        } else if (inside && line.rfind(field, 0) == 0) {
            return atol(line.c_str() + strlen(field));
        }
    }
    return -1;
}

// One table three ways: built here (anonymous huge pages), mapped from its file as the library
// maps it, and mapped from the same file 4 KiB off the huge-page alignment.
struct ThreeTables {
    tarn::ColorLut* built = nullptr;
    tarn::ColorLut* mapped = nullptr;
    void* smallPages = nullptr;
    size_t smallPagesSpan = 0;

    tarn::ColorLookup Lookup(int kind) const {
        tarn::ColorLookup lookup;
        if (kind == 0) lookup = tarn::LookupOf(built);
        if (kind == 1) lookup = tarn::LookupOf(mapped);
        if (kind == 2)
            lookup.packed = reinterpret_cast<const uint32_t*>(static_cast<uint8_t*>(smallPages) +
                                                              tarn::kTableHeaderBytes);
        return lookup;
    }
};

const ThreeTables& Tables() {
    static const ThreeTables tables = [] {
        ThreeTables t;
        tarn::ColorParams params = tarn::NeutralColorParams();
        params.gamma = 1.8f;
        const tarn::CacheFolder folder = NamedFolder(BenchTableFolder());
        mkdir(folder.path, 0700);
        t.built = tarn::BuildColorLut(params);
        if (t.built == nullptr || !tarn::WriteTableFile(folder, *t.built)) std::abort();
        t.mapped = tarn::MapTableFile(folder, params);
        char path[PATH_MAX];
        tarn::TableFilePath(folder, params, path);
        const int fd = open(path, O_RDONLY);
        t.smallPagesSpan = tarn::kTableFileBytes + (size_t{4} << 20);
        void* reserved =
            mmap(nullptr, t.smallPagesSpan, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        const uintptr_t aligned = (reinterpret_cast<uintptr_t>(reserved) + (size_t{2} << 20) - 1) &
                                  ~((uintptr_t{2} << 20) - 1);
        t.smallPages = mmap(reinterpret_cast<void*>(aligned + 4096), tarn::kTableFileBytes,
                            PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0);
        close(fd);
        if (t.mapped == nullptr || t.smallPages == MAP_FAILED) std::abort();
        return t;
    }();
    return tables;
}

// A tissue-like picture as a decoded tile gives it: smooth stains, light background, noise that
// moves the three channels together.
std::vector<uint8_t> TissuePixels(uint32_t width, uint32_t height) {
    return tarnwriter::RenderTissue(0, 0, width, height).bgr;
}

std::vector<uint8_t> RandomPixels(size_t count) {
    std::vector<uint8_t> pixels(count * 3);
    std::mt19937 random(3);
    for (uint8_t& byte : pixels)
        byte = static_cast<uint8_t>(random());
    return pixels;
}

// Counters that show how the table was mapped: huge pages of it touched so far.
void ReportPages(benchmark::State& state, const tarn::ColorLookup& lookup) {
    state.counters["huge_MiB"] =
        static_cast<double>(std::max(SmapsKib(lookup.packed, "AnonHugePages:"), 0L) +
                            std::max(SmapsKib(lookup.packed, "FilePmdMapped:"), 0L)) /
        1024.0;
}

// Corrects `image` through table kind state.range(0): 0 built table, 1 mapped from its file, 2
// the file in 4 KiB pages.
void CorrectThrough(benchmark::State& state, const std::vector<uint8_t>& image) {
    const tarn::ColorLookup lookup = Tables().Lookup(static_cast<int>(state.range(0)));
    std::vector<uint8_t> out(image.size());
    for (auto _ : state) {
        tarn::CorrectPixels(lookup, image.data(), 3, out.data(), 3, image.size() / 3);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(image.size() / 3));
    ReportPages(state, lookup);
}

void BM_CorrectTissueThrough(benchmark::State& state) {
    CorrectThrough(state, TissuePixels(1024, 1024));
}
BENCHMARK(BM_CorrectTissueThrough)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// Every pixel a random colour: every lookup lands somewhere else in the 64 MiB of entries.
void BM_CorrectRandomThrough(benchmark::State& state) {
    CorrectThrough(state, RandomPixels(size_t{1} << 20));
}
BENCHMARK(BM_CorrectRandomThrough)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// What reads do: a 256 x 256 tissue tile decoded and corrected.
void BM_DecodeTileThrough(benchmark::State& state) {
    const tarn::ColorLookup lookup = Tables().Lookup(static_cast<int>(state.range(0)));
    const tarnwriter::Bytes jpeg =
        tarnwriter::EncodeJpeg(tarnwriter::RenderTissue(2048, 1536, 256, 256), 75);
    for (auto _ : state) {
        unsigned char* pixels = nullptr;
        tarn::DecodeJpegCorrected(jpeg.data(), jpeg.size(), JCS_EXT_BGR, lookup, 256, 256, &pixels);
        benchmark::DoNotOptimize(pixels);
        free(pixels);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTileThrough)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// Mapping a table from its file, and unmapping it: what the first open of a slide in a process
// pays instead of a build once the folder has the table (later opens find it still mapped).
void BM_MapTableFile(benchmark::State& state) {
    const tarn::CacheFolder folder = NamedFolder(BenchTableFolder());
    const tarn::ColorParams params = Tables().built->params;
    for (auto _ : state) {
        tarn::ColorLut* lut = tarn::MapTableFile(folder, params);
        if (lut == nullptr) state.SkipWithError("not mapped");
        benchmark::DoNotOptimize(lut);
        tarn::FreeColorLut(lut);
    }
}
BENCHMARK(BM_MapTableFile)->Unit(benchmark::kMicrosecond);

// A table written to the folder: the temporary file, one write of 112 MiB, fsync, rename, and
// the packed entries read back in huge pages. This runs beside the open that built the table,
// not before it returns.
void BM_WriteTableFile(benchmark::State& state) {
    const std::string path = tarnbench::BenchDirectory() + "/written";
    mkdir(path.c_str(), 0700);
    const tarn::CacheFolder folder = NamedFolder(path);
    char file[PATH_MAX];
    tarn::TableFilePath(folder, Tables().built->params, file);
    for (auto _ : state) {
        state.PauseTiming();
        unlink(file);
        state.ResumeTiming();
        if (!tarn::WriteTableFile(folder, *Tables().built)) state.SkipWithError("write failed");
    }
    unlink(file);
}
BENCHMARK(BM_WriteTableFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

// Sets TARN_CACHE_DIR for one benchmark.
class FolderFor {
  public:
    explicit FolderFor(const std::string& folder) {
        mkdir(folder.c_str(), 0700);
        setenv("TARN_CACHE_DIR", folder.c_str(), 1);
    }
    ~FolderFor() {
        tarn::WaitForColorLutWrites();
        setenv("TARN_CACHE_DIR", "", 1);
    }
};

// A first open with a folder: it builds the table and starts writing it, against BM_OpenFirst
// (no folder) for the cost the folder adds to the open.
void BM_OpenFirstWithFolder(benchmark::State& state) {
    const std::string& path = tarnbench::JpegSlide().path;
    const std::string folder = BenchTableFolder() + "-first";
    const FolderFor set(folder);
    for (auto _ : state) {
        state.PauseTiming();
        tarn::WaitForColorLutWrites();
        tarn::TrimColorLutCache();
        std::filesystem::remove_all(folder);
        state.ResumeTiming();
        ZyTarnInfo* slide = ZyOpenTarn(path.c_str());
        benchmark::DoNotOptimize(slide);
        ZyCloseTarn(slide);
    }
}
BENCHMARK(BM_OpenFirstWithFolder)->Unit(benchmark::kMillisecond)->UseRealTime();

// Opens in this process of a slide whose table came from the folder: the first maps the file, the
// rest find it still mapped.
void BM_OpenWithTableInFolder(benchmark::State& state) {
    const std::string& path = tarnbench::JpegSlide().path;
    const FolderFor set(BenchTableFolder() + "-again");
    ZyCloseTarn(ZyOpenTarn(path.c_str()));
    tarn::WaitForColorLutWrites();
    for (auto _ : state) {
        ZyTarnInfo* slide = ZyOpenTarn(path.c_str());
        benchmark::DoNotOptimize(slide);
        ZyCloseTarn(slide);  // the table stays mapped for the next open
    }
}
BENCHMARK(BM_OpenWithTableInFolder)->Unit(benchmark::kMillisecond)->UseRealTime();

// Spawns the open probe on the JPEG bench slide with TARN_CACHE_DIR set to `folder`; false when
// it fails. `micros` and `dirtyKib` receive what it reports.
bool RunProbe(const std::string& folder, long* micros, long* dirtyKib) {
    const std::string slide = tarnbench::JpegSlide().path;
    const char* set = getenv("TARN_CACHE_DIR");
    const std::string previous = set != nullptr ? set : "";
    setenv("TARN_CACHE_DIR", folder.c_str(), 1);
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(TARN_OPEN_PROBE_PATH), const_cast<char*>(slide.c_str()),
                    nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, TARN_OPEN_PROBE_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    setenv("TARN_CACHE_DIR", previous.c_str(), 1);
    close(out[1]);
    char text[128] = {};
    const ssize_t got = spawned == 0 ? read(out[0], text, sizeof text - 1) : -1;
    close(out[0]);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || got <= 0)
        return false;
    return sscanf(text, "%ld %ld", micros, dirtyKib) == 2;
}

// A second process opening a slide. Argument 0: no folder, so the open builds the table (today's
// first open in every process); 1: the table waits in the folder (put there by a first probe).
void BM_OpenInFreshProcess(benchmark::State& state) {
    const std::string folder = state.range(0) == 0 ? "" : BenchTableFolder() + "-probe";
    long micros = 0, dirty = 0;
    if (!folder.empty() && !RunProbe(folder, &micros, &dirty)) {
        state.SkipWithError("probe failed");
        return;
    }
    double dirtyTotal = 0;
    for (auto _ : state) {
        if (!RunProbe(folder, &micros, &dirty)) {
            state.SkipWithError("probe failed");
            break;
        }
        state.SetIterationTime(static_cast<double>(micros) / 1e6);
        dirtyTotal += static_cast<double>(dirty);
    }
    state.counters["private_dirty_MiB"] =
        dirtyTotal / 1024.0 / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
}
BENCHMARK(BM_OpenInFreshProcess)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace
