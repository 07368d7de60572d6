// export: layer 0 cut into JPEG tiles on all cores. The files are named and filled exactly as
// the library's sequential export does it; only the order of writing differs. A tile's file
// appears under its name only when whole, so an interrupted export can be resumed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Commands.h"
#include "Common.h"
#include "Common/Geometry.h"
#include "Common/Threads.h"
#include "ImageFiles.h"
#include "StopSignals.h"

namespace tarncli {
namespace {

constexpr const char* kExportHelp =
    "usage: tarn export SLIDE DIRECTORY [--tile-width W] [--tile-height H] [--threads N] "
    "[--resume] [--quiet]\n"
    "\n"
    "Cuts the picture of layer 0 into W x H tiles (default 512 x 512) and writes each as a JPEG\n"
    "(quality 75) named DIRECTORY/<column>_<row>_<W>_<H>.jpeg. Tiles of the last column and row\n"
    "reach past the picture, and are white beyond the layer's tile grid; a tile may be larger\n"
    "than the whole layer. The directory is created if needed, once the slide has opened.\n"
    "\n"
    "Each file is written under a temporary name (starting with a dot) and renamed when whole,\n"
    "so the directory never holds part of a tile. Ctrl-C, SIGTERM or SIGHUP stop the export: the\n"
    "files being written are removed, the tiles done stay, and tarn ends by that signal (status\n"
    "128 + its number). --resume skips every tile whose file is already there and writes the\n"
    "rest; without it, existing files are replaced.\n"
    "\n"
    "Uses one thread per processor unless --threads says otherwise, and at most 4 per processor\n"
    "(more would only hold more tiles in memory): a larger N is lowered to that. Shows progress\n"
    "on a terminal unless --quiet.\n";

// More threads than this per processor only hold more tiles in memory at once.
constexpr int kThreadsPerProcessor = 4;

// A progress bar on stderr, redrawn at most every 100 ms from whichever thread gets there.
class Progress {
  public:
    Progress(int64_t total, bool show) : total_(total), show_(show && isatty(STDERR_FILENO)) {}

    void Advance() {
        const int64_t done = ++done_;
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
    void Draw(int64_t done) const {
        constexpr int kWidth = 40;
        const int filled = total_ > 0 ? static_cast<int>(kWidth * done / total_) : kWidth;
        fprintf(stderr, "\r[%.*s%*s] %lld/%lld tiles", filled,
                "########################################", kWidth - filled, "",
                static_cast<long long>(done), static_cast<long long>(total_));
        fflush(stderr);
    }

    const int64_t total_;
    const bool show_;
    std::atomic<int64_t> done_{0};
    std::mutex mutex_;
    std::chrono::steady_clock::time_point last_{};
};

// What one export cuts, and where it puts the tiles.
struct ExportPlan {
    ZyTarnInfo* slide = nullptr;
    tarn::LayerGeometry layer;
    std::string directory;
    int tileWidth = 0;
    int tileHeight = 0;
    int64_t columns = 0;
    int64_t rows = 0;
    bool resume = false;
    // The library refuses regions wider or taller than the layer's grid; such tiles are
    // assembled here.
    bool padded = false;
};

enum class TileOutcome { Written, Skipped, Stopped, Failed };

// How the tiles went, shared by the threads.
struct ExportTally {
    std::atomic<int64_t> written{0};
    std::atomic<int64_t> skipped{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    // The failure of the lowest tile index is reported, whichever thread met it first.
    int64_t firstFailure = INT64_MAX;
    std::string firstError;
};

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

// A tile wider or taller than the layer's grid, as the region would come if the library took
// it: the part inside the grid on white, encoded as the library encodes its regions.
unsigned char* PaddedTileJpeg(const ExportPlan& plan, int x, int y, int* size) {
    const auto width = static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(plan.tileWidth), plan.layer.gridWidth() - x));
    const auto height = static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(plan.tileHeight), plan.layer.gridHeight() - y));
    unsigned char* inside =
        GetRoiSliceBgr(plan.slide, 0, x, y, static_cast<int>(width), static_cast<int>(height));
    if (inside == nullptr) return nullptr;
    const size_t stride = static_cast<size_t>(plan.tileWidth) * 3;
    const size_t bytes = stride * static_cast<size_t>(plan.tileHeight);
    auto* tile = static_cast<unsigned char*>(malloc(bytes));
    unsigned char* jpeg = nullptr;
    if (tile != nullptr) {
        memset(tile, 0xFF, bytes);
        for (size_t row = 0; row < height; ++row)
            memcpy(tile + row * stride, inside + row * width * 3, width * 3);
        const int length = ZyEncodeJpeg(tile, &jpeg, 75, static_cast<unsigned>(plan.tileWidth),
                                        static_cast<unsigned>(plan.tileHeight), JCS_EXT_BGR);
        if (length > 0) {
            *size = length;
        } else {
            Dispose(jpeg);
            jpeg = nullptr;
        }
    }
    free(tile);
    Dispose(inside);
    return jpeg;
}

TileOutcome ExportTile(const ExportPlan& plan, int64_t index, std::string* error) {
    const int64_t c = index % plan.columns, r = index / plan.columns;
    const std::string name = plan.directory + "/" + std::to_string(c) + "_" + std::to_string(r) +
                             "_" + std::to_string(plan.tileWidth) + "_" +
                             std::to_string(plan.tileHeight) + ".jpeg";
    // A file gets a tile's name only when whole, so one that is there needs no second look.
    struct stat status {};
    if (plan.resume && stat(name.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        return TileOutcome::Skipped;
    // The plan keeps every origin within an int.
    const auto x = static_cast<int>(c * plan.tileWidth), y = static_cast<int>(r * plan.tileHeight);
    int size = 0;
    unsigned char* jpeg =
        plan.padded ? PaddedTileJpeg(plan, x, y, &size)
                    : GetRoiSliceJpeg(plan.slide, 0, x, y, plan.tileWidth, plan.tileHeight, &size);
    if (jpeg == nullptr) {
        *error = "cannot read tile " + std::to_string(c) + "," + std::to_string(r) +
                 " of layer 0 (a damaged tile, or not enough memory)";
        return TileOutcome::Failed;
    }
    const bool written = ReplaceFile(
        name, jpeg, static_cast<size_t>(size), [] { return StopSignal() == 0; }, error);
    Dispose(jpeg);
    if (written) return TileOutcome::Written;
    return error->empty() ? TileOutcome::Stopped : TileOutcome::Failed;
}

// Threads take the next tile as they come free; all stop taking tiles at the first failure or
// stop signal.
void ExportAll(const ExportPlan& plan, int threads, Progress* progress, ExportTally* tally) {
    tarn::ParallelFor(plan.columns * plan.rows, threads, [&](int64_t index) {
        if (tally->failed.load(std::memory_order_relaxed) || StopSignal() != 0) return;
        std::string error;
        switch (ExportTile(plan, index, &error)) {
            case TileOutcome::Written:
                ++tally->written;
                break;
            case TileOutcome::Skipped:
                ++tally->skipped;
                break;
            case TileOutcome::Stopped:
                return;
            case TileOutcome::Failed: {
                const std::lock_guard<std::mutex> lock(tally->mutex);
                tally->failed = true;
                if (index < tally->firstFailure) {
                    tally->firstFailure = index;
                    tally->firstError = error;
                }
                return;
            }
        }
        progress->Advance();
    });
}

// Lays the tile grid over layer 0's picture. False with a message when it cannot be cut.
bool PlanExport(const std::string& path, ExportPlan* plan, std::string* error) {
    plan->layer = tarn::GeometryOf(*plan->slide->PicHead, *plan->slide->PicInfos[0]);
    if (!plan->layer.hasPicture()) {
        *error = "layer 0 of " + path + " has a bound area larger than its grid";
        return false;
    }
    const auto tileWidth = static_cast<uint64_t>(plan->tileWidth);
    const auto tileHeight = static_cast<uint64_t>(plan->tileHeight);
    const uint64_t columns = tarn::TilesToCover(plan->layer.pictureWidth(), tileWidth);
    const uint64_t rows = tarn::TilesToCover(plan->layer.pictureHeight(), tileHeight);
    // Tile origins are ints in the library's interface. Each lies inside the picture, so the
    // products cannot wrap, and neither can columns x rows.
    if ((columns > 0 && (columns - 1) * tileWidth > INT_MAX) ||
        (rows > 0 && (rows - 1) * tileHeight > INT_MAX)) {
        *error = "layer 0 of " + path + " is too large to cut: tile positions pass 2^31 pixels";
        return false;
    }
    plan->columns = static_cast<int64_t>(columns);
    plan->rows = static_cast<int64_t>(rows);
    plan->padded = tileWidth > plan->layer.gridWidth() || tileHeight > plan->layer.gridHeight();
    return true;
}

int Export(const std::string& path, ExportPlan* plan, int threads, bool quiet) {
    std::string error;
    if (!PlanExport(path, plan, &error) || !EnsureDirectory(plan->directory, &error))
        return Fail(error);
    const int64_t total = plan->columns * plan->rows;
    if (!quiet)
        printf("%s: layer 0 is %llu x %llu pixels: %lld x %lld tiles of %d x %d into %s\n",
               path.c_str(), static_cast<unsigned long long>(plan->layer.pictureWidth()),
               static_cast<unsigned long long>(plan->layer.pictureHeight()),
               static_cast<long long>(plan->columns), static_cast<long long>(plan->rows),
               plan->tileWidth, plan->tileHeight, plan->directory.c_str());

    Progress progress(total, !quiet);
    ExportTally tally;
    const auto started = std::chrono::steady_clock::now();
    CatchStopSignals();
    ExportAll(*plan, threads, &progress, &tally);
    progress.Finish();
    if (tally.failed) return Fail(tally.firstError);
    const int64_t done = tally.written + tally.skipped;
    if (StopSignal() != 0) {
        fprintf(stderr,
                "tarn: interrupted with %lld of %lld tiles in %s; add --resume to write the "
                "rest\n",
                static_cast<long long>(done), static_cast<long long>(total),
                plan->directory.c_str());
        return kExitFailed;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (quiet) return kExitOk;
    const int64_t written = tally.written;
    const std::string skipped =
        tally.skipped > 0 ? " (" + std::to_string(tally.skipped) + " already there)" : "";
    printf("wrote %lld tiles to %s%s in %.2f s (%.0f tiles/s, %d threads)\n",
           static_cast<long long>(written), plan->directory.c_str(), skipped.c_str(), seconds,
           seconds > 0 ? static_cast<double>(written) / seconds : 0.0, threads);
    return kExitOk;
}

}  // namespace

int RunExport(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    if (!ParseCommand(argc, argv, kExportHelp, {"tile-width", "tile-height", "threads"},
                      {"resume", "quiet"}, 2, &args, &exitCode))
        return exitCode;
    long tileWidth = 0, tileHeight = 0, threads = 0;
    const int processors = tarn::ProcessorCount();
    std::string error;
    if (!IntOption(args, "tile-width", 1, 65500, 512, &tileWidth, &error) ||
        !IntOption(args, "tile-height", 1, 65500, 512, &tileHeight, &error) ||
        !IntOption(args, "threads", 1, INT_MAX, processors, &threads, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return kExitUsage;
    }
    threads = std::min<long>(threads, static_cast<long>(kThreadsPerProcessor) * processors);

    ExportPlan plan;
    plan.directory = args.positional[1];
    plan.tileWidth = static_cast<int>(tileWidth);
    plan.tileHeight = static_cast<int>(tileHeight);
    plan.resume = args.Has("resume");
    int result = kExitOk;
    {
        const Slide slide(args.positional[0]);
        if (!slide) return Fail(slide.Failure());
        plan.slide = slide.get();
        result = Export(args.positional[0], &plan, static_cast<int>(threads), args.Has("quiet"));
    }
    if (const int signal = StopSignal(); signal != 0) return EndBySignal(signal);
    return result;
}

}  // namespace tarncli
