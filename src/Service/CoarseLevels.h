// Coarse levels a slide does not store. A slide whose coarsest level is large (a slide of one
// layer, say) would have every small Deep Zoom tile, down to the single-tile overview, read from
// that whole level. Instead the levels below it, each half the size of the one above, are built
// once per slide: in the background, streaming (a few tiles of memory whatever the slide's size),
// from the slide's own picture (the read service's ReadPicture), and kept in memory as JPEG tiles
// within a byte budget. Tiles that are white take no room. A tile of the slide that does not
// decode is white in them, as a region read fails only where it touches such a tile. When the
// levels do not all fit, the finest are dropped, and the tiles that would read them read the slide,
// a band at a time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "Common/Status.h"
#include "Common/PixelFormat.h"
#include "Core/Slide.h"
#include "Core/Tiles.h"

namespace tarn {

// Side of the tiles coarse levels are kept in.
inline constexpr int64_t kCoarseTileSide = 256;
// A coarsest level of at most this many pixels is read directly: no coarse levels are built.
inline constexpr int64_t kDirectPixels = int64_t{2048} * 2048;
// Budget of the kept tiles when the default tile cache is smaller (or off).
inline constexpr size_t kMinCoarseBudget = size_t{16} << 20;

struct CoarseLevel {
    int64_t width = 0, height = 0;   // pixels
    int64_t columns = 0, rows = 0;   // tiles of kCoarseTileSide
    bool kept = true;                // false once dropped for the budget
    std::vector<std::string> tiles;  // JPEG (blue-green-red); empty: white
};

class CoarseLevels {
  public:
    // The coarse levels of `slide`, kept by the slide and shared by all its views and calls (null
    // when the slide needs none, or is being closed). The build reads `slide`: its closer stops
    // it (StopCoarseLevels) before it releases the slide.
    static std::shared_ptr<CoarseLevels> For(Slide& slide);
    // Stops the build of `slide`'s coarse levels, if any, for good, and waits for it to end; no
    // more are made for the slide. Calls waiting for the build return.
    static void StopFor(Slide& slide);
    ~CoarseLevels();
    CoarseLevels(const CoarseLevels&) = delete;
    CoarseLevels& operator=(const CoarseLevels&) = delete;

    int32_t sourceLevel() const { return sourceLevel_; }
    // Starts the build unless it ran or runs (in this process: a child after fork() builds
    // anew), then waits until it is over or `timeoutMs` passed (negative: no limit). True once
    // it is over.
    bool Wait(int64_t timeoutMs);
    // 0 to 1: how far the build is; 1 once it is over.
    double Progress() const;
    // The kept level to read an area from for a reduction of `zoom` (source-level pixels per
    // output pixel) from the source level: the coarsest whose step (2^k) is at most `zoom`, or 0
    // when the source level itself is to be read. Only valid once the build is over.
    int32_t LevelFor(double zoom) const;
    const CoarseLevel& level(int32_t k) const { return levels_[static_cast<size_t>(k)]; }
    // Pixels (x, y, w, h) of kept level k, in blue-green-red or red-green-blue, white beyond it.
    bool Read(int32_t k, int64_t x, int64_t y, int64_t w, int64_t h, bool redFirst,
              uint8_t* out) const;

  private:
    // fork() copies only the thread that calls it: every build's lock is taken around it, and in
    // the child a build the parent's thread was running is left as never started, with no waiter.
    static void BeforeFork();
    static void AfterForkInParent();
    static void AfterForkInChild();

    explicit CoarseLevels(Slide& slide);
    void Build();
    // Tile (column, row) of level k into `out` (kCoarseTileSide squared, blue-green-red); true
    // when it is all white (and `out` untouched). False in `*ok` on a read failure.
    bool Produce(int32_t k, int64_t column, int64_t row, uint8_t* out, bool* ok);
    void Keep(int32_t k, int64_t column, int64_t row, const uint8_t* pixels);

    Slide& slide_;
    int32_t sourceLevel_ = 0;
    CoarseLevel source_;               // the source level's size (no tiles)
    std::vector<CoarseLevel> levels_;  // [0] unused; 1: half the source level, ...
    size_t budget_ = 0, keptBytes_ = 0;
    std::unordered_set<uint64_t> damaged_;  // source tiles that do not read: white in the levels
    int32_t firstKept_ = 1;

    mutable std::mutex lock_;
    std::condition_variable over_;
    enum class State { Idle, Running, Over } state_ = State::Idle;  // under lock_
    pid_t builder_ = 0;                                             // process of the build
    std::thread thread_;
    std::atomic<bool> stop_{false};
    bool stopped_ = false;          // under lock_: no build starts any more
    std::atomic<int64_t> done_{0};  // source tiles accounted for
    int64_t total_ = 1;
};

inline void StopCoarseLevels(Slide& slide) {
    CoarseLevels::StopFor(slide);
}

// The coarse levels below the coarsest level of `slide` (halvings until one fits a coarse tile),
// and the size of level `level` (1 to that count).
int32_t CoarseLevelCount(const Slide& slide);
void CoarseLevelSize(const Slide& slide, int32_t level, int64_t* width, int64_t* height);

// Pixels (x, y, w, h) of coarse level `level` (1 to CoarseLevelCount, w and h at least 1), rows
// w * BytesPerPixel(format) bytes apart, white beyond it (transparent in layouts with alpha):
// each pixel the mean of the 2^level x 2^level pixels of the coarsest level it covers. Read from
// the coarse levels built for a large slide when there are some, else from the coarsest level
// itself, a block at a time. Status::Ok, or the failure recorded in the context.
Status ReadCoarseRegion(Slide& slide, const ReadContext& read, int32_t level, int64_t x, int64_t y,
                        int64_t w, int64_t h, uint8_t* dest, PixelFormat format);

}  // namespace tarn
