// export: layer 0 cut into JPEG tiles on all cores. The files are named and filled exactly as
// the library's sequential export does it; only the order of writing differs.
#include <omp.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>

#include "Commands.h"
#include "Common.h"
#include "ImageFiles.h"

namespace tarncli {
namespace {

constexpr const char* kExportHelp =
    "usage: tarn export SLIDE DIRECTORY [--tile-width W] [--tile-height H] [--threads N] "
    "[--quiet]\n"
    "\n"
    "Cuts the picture of layer 0 into W x H tiles (default 512 x 512) and writes each as a JPEG\n"
    "(quality 75) named DIRECTORY/<column>_<row>_<W>_<H>.jpeg. Tiles of the last column and row\n"
    "reach past the picture. The directory is created if needed. Uses all cores unless --threads\n"
    "says otherwise; shows progress on a terminal unless --quiet.\n";

// A progress bar on stderr, redrawn at most every 100 ms from whichever thread gets there.
class Progress {
  public:
    Progress(long total, bool show) : total_(total), show_(show && isatty(STDERR_FILENO)) {}

    void Advance() {
        const long done = ++done_;
        if (!show_) return;
        const auto now = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock() || (done < total_ && now - last_ < std::chrono::milliseconds(100)))
            return;
        last_ = now;
        Draw(done);
    }

    void Finish() {
        if (show_) fputc('\n', stderr);
    }

  private:
    void Draw(long done) const {
        constexpr int kWidth = 40;
        const int filled = total_ > 0 ? static_cast<int>(kWidth * done / total_) : kWidth;
        fprintf(stderr, "\r[%.*s%*s] %ld/%ld tiles", filled,
                "########################################", kWidth - filled, "", done, total_);
        fflush(stderr);
    }

    const long total_;
    const bool show_;
    std::atomic<long> done_{0};
    std::mutex mutex_;
    std::chrono::steady_clock::time_point last_{};
};

// Layer 0's picture size: the grid less its bound area. False for a bound area larger than the
// grid, which a damaged header can announce.
bool PictureSize(const ZyTarnInfo* slide, uint32_t* width, uint32_t* height) {
    char* info = GetLayerInfo(const_cast<ZyTarnInfo*>(slide), 0);
    long layerWidth = 0, layerHeight = 0, boundWidth = 0, boundHeight = 0;
    const int fields =
        info != nullptr
            ? sscanf(info, "LayerWidth=%ld|LayerHeight=%ld|BoundWidth=%ld|BoundHeight=%ld",
                     &layerWidth, &layerHeight, &boundWidth, &boundHeight)
            : 0;
    Dispose(info);
    if (fields != 4 || boundWidth > layerWidth || boundHeight > layerHeight) return false;
    *width = static_cast<uint32_t>(layerWidth - boundWidth);
    *height = static_cast<uint32_t>(layerHeight - boundHeight);
    return true;
}

uint64_t CountTiles(uint32_t picture, long tile) {
    return (uint64_t{picture} + static_cast<uint64_t>(tile) - 1) / static_cast<uint64_t>(tile);
}

bool EnsureDirectory(const std::string& path, std::string* error) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) return true;
        *error = path + " exists and is not a directory";
        return false;
    }
    if (mkdir(path.c_str(), 0777) == 0) return true;
    *error = "cannot create directory " + path + ": " + strerror(errno);
    return false;
}

}  // namespace

int RunExport(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    if (!ParseCommand(argc, argv, kExportHelp, {"tile-width", "tile-height", "threads"}, {"quiet"},
                      2, &args, &exitCode))
        return exitCode;
    long tileWidth = 0, tileHeight = 0, threads = 0;
    std::string error;
    if (!IntOption(args, "tile-width", 1, 65500, 512, &tileWidth, &error) ||
        !IntOption(args, "tile-height", 1, 65500, 512, &tileHeight, &error) ||
        !IntOption(args, "threads", 1, 1024, omp_get_num_procs(), &threads, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return kExitUsage;
    }
    const std::string& directory = args.positional[1];
    if (!EnsureDirectory(directory, &error)) return Fail(error);
    const Slide slide(args.positional[0]);
    if (!slide) return Fail(OpenFailure(args.positional[0]));

    uint32_t pictureWidth = 0, pictureHeight = 0;
    if (!PictureSize(slide.get(), &pictureWidth, &pictureHeight))
        return Fail("layer 0 of " + args.positional[0] + " has a bound area larger than its grid");
    // Tile positions are ints in the library's interface.
    const uint64_t columns64 = CountTiles(pictureWidth, tileWidth);
    const uint64_t rows64 = CountTiles(pictureHeight, tileHeight);
    if (columns64 > INT_MAX || rows64 > INT_MAX || columns64 * rows64 > LONG_MAX)
        return Fail("layer 0 of " + args.positional[0] + " has too many tiles of that size");
    const int columns = static_cast<int>(columns64), rows = static_cast<int>(rows64);
    const long total = static_cast<long>(columns) * rows;
    const bool quiet = args.Has("quiet");
    if (!quiet)
        printf("%s: layer 0 is %u x %u pixels: %d x %d tiles of %ld x %ld into %s\n",
               args.positional[0].c_str(), pictureWidth, pictureHeight, columns, rows, tileWidth,
               tileHeight, directory.c_str());

    Progress progress(total, !quiet);
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    // The failure of the lowest tile index is reported, whichever thread met it first.
    std::string firstError;
    long firstFailure = LONG_MAX;
    const auto started = std::chrono::steady_clock::now();
    // Threads take the next tile as they come free and all stop at the first failure.
    std::atomic<long> next{0};
#pragma omp parallel num_threads(threads)
    for (long index = 0; !failed.load(std::memory_order_relaxed) && (index = next++) < total;) {
        const int c = static_cast<int>(index % columns), r = static_cast<int>(index / columns);
        const std::string name = directory + "/" + std::to_string(c) + "_" + std::to_string(r) +
                                 "_" + std::to_string(tileWidth) + "_" +
                                 std::to_string(tileHeight) + ".jpeg";
        int size = 0;
        unsigned char* jpeg = GetRoiSliceJpeg(
            slide.get(), 0, static_cast<int>(c * tileWidth), static_cast<int>(r * tileHeight),
            static_cast<int>(tileWidth), static_cast<int>(tileHeight), &size);
        std::string tileError;
        bool ok = jpeg != nullptr;
        if (!ok)
            tileError = "cannot read tile " + std::to_string(c) + "," + std::to_string(r) +
                        " (a tile wider or taller than layer 0, or a damaged tile)";
        else
            ok = WriteBytes(name, jpeg, static_cast<size_t>(size), &tileError);
        Dispose(jpeg);
        if (!ok) {
            const std::lock_guard<std::mutex> lock(errorMutex);
            failed = true;
            if (index < firstFailure) {
                firstFailure = index;
                firstError = tileError;
            }
            continue;
        }
        progress.Advance();
    }
    progress.Finish();
    if (failed) return Fail(firstError);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!quiet)
        printf("wrote %ld tiles to %s in %.2f s (%.0f tiles/s, %ld threads)\n", total,
               directory.c_str(), seconds, seconds > 0 ? static_cast<double>(total) / seconds : 0.0,
               threads);
    return kExitOk;
}

}  // namespace tarncli
