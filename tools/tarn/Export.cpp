// export: a layer cut into JPEG tiles, or the slide's Deep Zoom pyramid, on all cores. Grid tiles
// of layer 0 are named and filled exactly as the library's sequential export does it; Deep Zoom
// tiles are the bytes `tarn serve` sends. A tile's file appears under its name only when whole, so
// an interrupted export can be resumed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Common.h"
#include "ImageFiles.h"
#include "StopSignals.h"
#include "tarn.h"
#include "util/Threads.h"

namespace tarncli {
namespace {

constexpr const char* kExportHelp =
    "usage: tarn export SLIDE DIRECTORY [--layer N] [--tile-width W] [--tile-height H]\n"
    "                   [--threads N] [--resume] [--quiet]\n"
    "       tarn export --deepzoom DIRECTORY SLIDE [--tile-size S] [--overlap O] [--quality Q]\n"
    "                   [--limit-bounds] [--threads N] [--resume] [--quiet]\n"
    "\n"
    "Cuts the picture of layer N (default 0) into W x H tiles (default 512 x 512) and writes each\n"
    "as a JPEG (quality 75) named DIRECTORY/<column>_<row>_<W>_<H>.jpeg. Tiles of the last column\n"
    "and row reach past the picture, and are white beyond the layer's tile grid; a tile may be\n"
    "larger than the whole layer. The directory is created if needed, once the slide has opened.\n"
    "\n"
    "With --deepzoom, writes the slide's Deep Zoom pyramid as `tarn serve` serves it, byte for\n"
    "byte, for any web server to host: DIRECTORY/<name>.dzi and every tile of every level as\n"
    "DIRECTORY/<name>_files/<level>/<column>_<row>.jpeg, where <name> is the slide's file name\n"
    "without extension (as tarn serve names it). Tiles are S pixels (default 254) plus an overlap\n"
    "of O (default 1) on inner sides, JPEG quality Q (default 75); --limit-bounds shows only the\n"
    "part of the slide that holds tissue tiles. The descriptor is written last.\n"
    "\n"
    "SLIDE may be a URL: http://, https:// or s3://BUCKET/KEY (see the README for credentials);\n"
    "each thread fetches the tiles it writes, on reused connections.\n"
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

// What one grid export cuts, and where it puts the tiles.
struct ExportPlan {
    tarn_slide* slide = nullptr;
    int layerIndex = 0;
    int64_t pictureWidth = 0;
    int64_t pictureHeight = 0;
    std::string directory;
    int tileWidth = 0;
    int tileHeight = 0;
    int64_t columns = 0;
    int64_t rows = 0;
    bool resume = false;
};

enum class TileOutcome { Written, Skipped, Stopped, Failed };

// Writes tile `index` of an export, or says why not.
using TileWriter = std::function<TileOutcome(int64_t index, std::string* error)>;

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

// True when a whole file is already there under `name` (a file gets its name only when whole).
bool AlreadyWritten(const std::string& name) {
    struct stat status {};
    return stat(name.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Writes `bytes` as `name`, unless a stop signal came meanwhile.
TileOutcome WriteTile(const std::string& name, const unsigned char* bytes, size_t size,
                      std::string* error) {
    if (ReplaceFile(
            name, bytes, size, [] { return StopSignal() == 0; }, error))
        return TileOutcome::Written;
    return error->empty() ? TileOutcome::Stopped : TileOutcome::Failed;
}

TileOutcome ExportGridTile(const ExportPlan& plan, int64_t index, std::string* error) {
    const int64_t c = index % plan.columns, r = index / plan.columns;
    char file[128];
    tarn_export_tile_name(c, r, plan.tileWidth, plan.tileHeight, file, sizeof file);
    const std::string name = plan.directory + "/" + file;
    if (plan.resume && AlreadyWritten(name)) return TileOutcome::Skipped;
    uint8_t* jpeg = nullptr;
    size_t size = 0;
    if (tarn_read_export_tile_jpeg(plan.slide, plan.layerIndex, c, r, plan.tileWidth,
                                   plan.tileHeight, &jpeg, &size) != 0) {
        const char* why = tarn_get_error(plan.slide);
        *error = "cannot read tile " + std::to_string(c) + "," + std::to_string(r) + " of layer " +
                 std::to_string(plan.layerIndex) + ": " +
                 (why != nullptr ? why : "unknown failure");
        return TileOutcome::Failed;
    }
    const TileOutcome outcome = WriteTile(name, jpeg, size, error);
    tarn_free(jpeg);
    return outcome;
}

// Threads take the next tile as they come free; all stop taking tiles at the first failure or
// stop signal.
void ExportAll(int64_t total, int threads, const TileWriter& write, Progress* progress,
               ExportTally* tally) {
    tarn::ParallelFor(total, threads, [&](int64_t index) {
        if (tally->failed.load(std::memory_order_relaxed) || StopSignal() != 0) return;
        std::string error;
        switch (write(index, &error)) {
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

// Writes every tile with the progress bar and catching stop signals, then tells how it went:
// the exit code, with the failure or interruption explained.
int RunTiles(int64_t total, int threads, const TileWriter& write, const std::string& directory,
             bool quiet) {
    Progress progress(total, !quiet);
    ExportTally tally;
    const auto started = std::chrono::steady_clock::now();
    CatchStopSignals();
    ExportAll(total, threads, write, &progress, &tally);
    progress.Finish();
    if (tally.failed) return Fail(tally.firstError);
    const int64_t done = tally.written + tally.skipped;
    if (StopSignal() != 0) {
        fprintf(stderr,
                "tarn: interrupted with %lld of %lld tiles in %s; add --resume to write the "
                "rest\n",
                static_cast<long long>(done), static_cast<long long>(total), directory.c_str());
        return kExitFailed;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (quiet) return kExitOk;
    const int64_t written = tally.written;
    const std::string skipped =
        tally.skipped > 0 ? " (" + std::to_string(tally.skipped) + " already there)" : "";
    printf("wrote %lld tiles to %s%s in %.2f s (%.0f tiles/s, %d threads)\n",
           static_cast<long long>(written), directory.c_str(), skipped.c_str(), seconds,
           seconds > 0 ? static_cast<double>(written) / seconds : 0.0, threads);
    return kExitOk;
}

// Lays the tile grid over the layer's picture. False with a message when it cannot be cut.
bool PlanExport(const std::string& path, ExportPlan* plan, std::string* error) {
    const int32_t layers = tarn_get_level_count(plan->slide);
    if (plan->layerIndex >= layers) {
        *error = Shown(path) + " has no layer " + std::to_string(plan->layerIndex) + " (it has " +
                 std::to_string(layers) + " layers)";
        return false;
    }
    tarn_get_level_dimensions(plan->slide, plan->layerIndex, &plan->pictureWidth,
                              &plan->pictureHeight);
    // The last column and row reach past the picture.
    plan->columns = (plan->pictureWidth + plan->tileWidth - 1) / plan->tileWidth;
    plan->rows = (plan->pictureHeight + plan->tileHeight - 1) / plan->tileHeight;
    return true;
}

int ExportGrid(const std::string& path, ExportPlan* plan, int threads, bool quiet) {
    std::string error;
    if (!PlanExport(path, plan, &error) || !EnsureDirectory(plan->directory, &error))
        return Fail(error);
    if (!quiet)
        printf("%s: layer %d is %lld x %lld pixels: %lld x %lld tiles of %d x %d into %s\n",
               Shown(path).c_str(), plan->layerIndex, static_cast<long long>(plan->pictureWidth),
               static_cast<long long>(plan->pictureHeight), static_cast<long long>(plan->columns),
               static_cast<long long>(plan->rows), plan->tileWidth, plan->tileHeight,
               plan->directory.c_str());
    const TileWriter write = [plan](int64_t index, std::string* tileError) {
        return ExportGridTile(*plan, index, tileError);
    };
    return RunTiles(plan->columns * plan->rows, threads, write, plan->directory, quiet);
}

// ---- Deep Zoom ----

// A slide's Deep Zoom view through tarn.h, for the length of an export.
class DeepZoomView {
  public:
    DeepZoomView(const std::string& path, int tileSize, int overlap, bool limitBounds)
        : slide_(path) {
        if (!slide_) {
            error_ = slide_.Failure();
            return;
        }
        view_ = tarn_deepzoom_create(slide_.get(), tileSize, overlap, limitBounds ? 1 : 0);
        if (view_ == nullptr) error_ = LibraryError("cannot make the Deep Zoom view");
    }
    ~DeepZoomView() { tarn_deepzoom_destroy(view_); }
    DeepZoomView(const DeepZoomView&) = delete;
    DeepZoomView& operator=(const DeepZoomView&) = delete;

    tarn_deepzoom* get() const { return view_; }
    const std::string& error() const { return error_; }
    std::string LibraryError(const std::string& what) const {
        const char* why = tarn_get_error(slide_.get());
        return what + ": " + (why != nullptr ? why : "unknown failure");
    }

  private:
    ModernSlide slide_;
    tarn_deepzoom* view_ = nullptr;
    std::string error_;
};

struct DeepZoomPlan {
    const DeepZoomView* view = nullptr;
    std::string files;             // DIRECTORY/<name>_files
    std::vector<int64_t> first;    // index of each level's first tile; one more for the end
    std::vector<int64_t> columns;  // of each level
    int quality = 75;
    bool resume = false;
};

// Numbers the tiles of all levels one after the other, and makes each level's folder.
bool PlanDeepZoom(DeepZoomPlan* plan, std::string* error) {
    const int32_t levels = tarn_deepzoom_get_level_count(plan->view->get());
    if (!EnsureDirectory(plan->files, error)) return false;
    plan->first.assign(1, 0);
    for (int32_t level = 0; level < levels; ++level) {
        int64_t columns = 0, rows = 0;
        tarn_deepzoom_get_level_tiles(plan->view->get(), level, &columns, &rows);
        plan->columns.push_back(columns);
        plan->first.push_back(plan->first.back() + columns * rows);
        if (!EnsureDirectory(plan->files + "/" + std::to_string(level), error)) return false;
    }
    return true;
}

TileOutcome ExportDeepZoomTile(const DeepZoomPlan& plan, int64_t index, std::string* error) {
    const auto level = static_cast<int32_t>(
        std::upper_bound(plan.first.begin(), plan.first.end(), index) - plan.first.begin() - 1);
    const int64_t within = index - plan.first[static_cast<size_t>(level)];
    const int64_t columns = plan.columns[static_cast<size_t>(level)];
    const int64_t c = within % columns, r = within / columns;
    const std::string place =
        std::to_string(level) + "/" + std::to_string(c) + "_" + std::to_string(r) + ".jpeg";
    const std::string name = plan.files + "/" + place;
    if (plan.resume && AlreadyWritten(name)) return TileOutcome::Skipped;
    uint8_t* jpeg = nullptr;
    size_t size = 0;
    if (tarn_deepzoom_read_tile_jpeg(plan.view->get(), level, c, r, plan.quality, &jpeg, &size) !=
        0) {
        *error = plan.view->LibraryError("cannot render Deep Zoom tile " + place);
        return TileOutcome::Failed;
    }
    const TileOutcome outcome = WriteTile(name, jpeg, size, error);
    tarn_free(jpeg);
    return outcome;
}

int ExportDeepZoom(const Args& args, const std::string& directory, int threads) {
    long tileSize = 0, overlap = 0, quality = 0;
    std::string error;
    if (!IntOption(args, "tile-size", 1, 8192, 254, &tileSize, &error) ||
        !IntOption(args, "overlap", 0, 8192, 1, &overlap, &error) ||
        !IntOption(args, "quality", 1, 100, 75, &quality, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return kExitUsage;
    }
    const std::string& path = args.positional[0];
    const bool quiet = args.Has("quiet");
    const DeepZoomView view(path, static_cast<int>(tileSize), static_cast<int>(overlap),
                            args.Has("limit-bounds"));
    if (!view.error().empty()) return Fail(view.error());
    const std::string name = SlideName(path);
    DeepZoomPlan plan;
    plan.view = &view;
    plan.files = directory + "/" + name + "_files";
    plan.quality = static_cast<int>(quality);
    plan.resume = args.Has("resume");
    if (!EnsureDirectory(directory, &error) || !PlanDeepZoom(&plan, &error)) return Fail(error);
    const int64_t total = plan.first.back();
    if (!quiet)
        printf("%s: %zu Deep Zoom levels, %lld tiles of %ld pixels into %s/%s.dzi and %s\n",
               Shown(path).c_str(), plan.columns.size(), static_cast<long long>(total), tileSize,
               directory.c_str(), name.c_str(), plan.files.c_str());
    const TileWriter write = [&plan](int64_t index, std::string* tileError) {
        return ExportDeepZoomTile(plan, index, tileError);
    };
    const int result = RunTiles(total, threads, write, directory, quiet);
    if (result != kExitOk || StopSignal() != 0) return result;
    // The descriptor last: where it is, every tile it announces is there too.
    char* dzi = tarn_deepzoom_get_dzi(view.get(), "jpeg");
    if (dzi == nullptr) return Fail(view.LibraryError("cannot describe the Deep Zoom view"));
    const bool written = ReplaceFile(
        directory + "/" + name + ".dzi", reinterpret_cast<unsigned char*>(dzi), strlen(dzi),
        [] { return StopSignal() == 0; }, &error);
    tarn_free(dzi);
    if (!written && !error.empty()) return Fail(error);
    return kExitOk;
}

}  // namespace

int RunExport(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    if (!ParseCommandRange(argc, argv, kExportHelp,
                           {"layer", "tile-width", "tile-height", "threads", "deepzoom",
                            "tile-size", "overlap", "quality"},
                           {"resume", "quiet", "limit-bounds"}, 1, 2, &args, &exitCode))
        return exitCode;
    const std::optional<std::string> deepzoom = args.Option("deepzoom");
    if (args.positional.size() != (deepzoom ? 1U : 2U)) {
        fprintf(stderr, "tarn: expected %s\n\n%s",
                deepzoom ? "one slide after --deepzoom DIRECTORY" : "SLIDE and DIRECTORY",
                kExportHelp);
        return kExitUsage;
    }
    // Options of the other kind of export are refused rather than ignored.
    for (const char* option : deepzoom
                                  ? std::vector<const char*>{"layer", "tile-width", "tile-height"}
                                  : std::vector<const char*>{"tile-size", "overlap", "quality"})
        if (args.Option(option)) {
            fprintf(stderr, "tarn: --%s %s --deepzoom\n\n%s", option,
                    deepzoom ? "does not go with" : "goes only with", kExportHelp);
            return kExitUsage;
        }
    if (!deepzoom && args.Has("limit-bounds")) {
        fprintf(stderr, "tarn: --limit-bounds goes only with --deepzoom\n\n%s", kExportHelp);
        return kExitUsage;
    }
    long layer = 0, tileWidth = 0, tileHeight = 0, threads = 0;
    const int processors = tarn::ProcessorCount();
    std::string error;
    if (!IntOption(args, "layer", 0, INT_MAX, 0, &layer, &error) ||
        !IntOption(args, "tile-width", 1, 65500, 512, &tileWidth, &error) ||
        !IntOption(args, "tile-height", 1, 65500, 512, &tileHeight, &error) ||
        !IntOption(args, "threads", 1, INT_MAX, processors, &threads, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return kExitUsage;
    }
    threads = std::min<long>(threads, static_cast<long>(kThreadsPerProcessor) * processors);

    int result = kExitOk;
    if (deepzoom) {
        result = ExportDeepZoom(args, *deepzoom, static_cast<int>(threads));
    } else {
        ExportPlan plan;
        plan.layerIndex = static_cast<int>(layer);
        plan.directory = args.positional[1];
        plan.tileWidth = static_cast<int>(tileWidth);
        plan.tileHeight = static_cast<int>(tileHeight);
        plan.resume = args.Has("resume");
        const ModernSlide slide(args.positional[0]);
        if (!slide) return Fail(slide.Failure());
        plan.slide = slide.get();
        result =
            ExportGrid(args.positional[0], &plan, static_cast<int>(threads), args.Has("quiet"));
    }
    if (const int signal = StopSignal(); signal != 0) return EndBySignal(signal);
    return result;
}

}  // namespace tarncli
