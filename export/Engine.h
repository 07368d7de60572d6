// The tile engine: one slide's plan made tile by tile on worker threads and handed to its writer,
// as the writer asks (as the tiles come, or in plan order through a bounded window), with the
// associated images first. Memory stays bounded: each worker holds one tile, and tiles done ahead
// of an ordered writer wait in a window of a few per thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "Format.h"
#include "Plan.h"

namespace tarnexport {

// A cancel: the caller's flag (a signal handler may set it), or one the engine raises itself
// on a failure or when the progress callback asks.
class StopState : public Stop {
  public:
    explicit StopState(const volatile int* flag) : flag_(flag) {}
    bool Requested() const override {
        return raised_.load(std::memory_order_relaxed) || Cancelled();
    }
    // Whether the caller cancelled (as opposed to a failure stopping the work).
    bool Cancelled() const {
        return cancelled_.load(std::memory_order_relaxed) ||
               (flag_ != nullptr && __atomic_load_n(flag_, __ATOMIC_RELAXED) != 0);
    }
    void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    void Raise() { raised_.store(true, std::memory_order_relaxed); }

  private:
    const volatile int* flag_;
    std::atomic<bool> raised_{false};
    std::atomic<bool> cancelled_{false};
};

struct TileCounts {
    std::atomic<int64_t> done{0};     // made and written, or already there
    std::atomic<int64_t> skipped{0};  // already there
    std::atomic<uint64_t> bytes{0};   // handed to the writer
    std::atomic<int64_t> damaged{0};  // could not be read and were made white
};

enum class RunResult { Done, Cancelled, Failed };

// Makes every tile of the plan into the writer on `threads` worker threads. `watch` runs on the
// calling thread about every 100 ms until the workers are done; its false cancels. On Failed,
// `error` tells the failure of the lowest tile number that failed. With the plan's
// whiteForUnreadable, a tile that cannot be read is made white and counted instead, unless not
// one tile of the plan could be read.
RunResult RunPlan(const SlideExport& job, const Plan& plan, Writer* writer, int threads,
                  StopState* stop, TileCounts* counts, const std::function<bool()>& watch,
                  std::string* error);

// Reads the associated images the plan asks for and hands them to the writer, in the plan's
// order. False with a message when one cannot be read or the writer fails.
bool PutAssociatedImages(const SlideExport& slide, const Plan& plan, Writer* writer,
                         std::string* error);

// Threads for a job asking for `wanted`: one per processor for 0 or less, at most 4 per
// processor.
int WorkerThreads(int wanted);

}  // namespace tarnexport
