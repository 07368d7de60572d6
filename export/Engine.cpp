#include "Engine.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "Sources.h"
#include "util/Threads.h"

namespace tarnexport {
namespace {

constexpr auto kWatchInterval = std::chrono::milliseconds(100);
// More threads than this per processor only hold more tiles in memory at once.
constexpr int kThreadsPerProcessor = 4;
// Tiles an ordered writer may have waiting per worker, done ahead of the one it needs next.
constexpr int64_t kWaitingPerThread = 4;

struct Shared {
    Shared(const SlideExport& j, const Plan& p, Writer& w, StopState& st, TileCounts& c,
           int workers)
        : job(j),
          plan(p),
          writer(w),
          stop(st),
          counts(c),
          ordered(w.Order() == TileOrder::Plan),
          total(p.TileCount()),
          window(std::max<int64_t>(2, kWaitingPerThread * workers)) {}

    const SlideExport& job;
    const Plan& plan;
    Writer& writer;
    StopState& stop;
    TileCounts& counts;
    const bool ordered;
    const int64_t total;
    const int64_t window;

    std::atomic<int64_t> next{0};

    // Ordered writers: tiles done ahead, and how far the writer has got.
    std::mutex orderMutex;
    std::condition_variable room;
    std::map<int64_t, std::optional<MadeTile>> waiting;  // nullopt: already there
    int64_t delivered = 0;
    bool delivering = false;

    // The failure of the lowest tile number is reported, whichever thread met it first.
    std::mutex failureMutex;
    int64_t firstFailure = INT64_MAX;
    std::string firstError;
    // The unreadable tile of the lowest number, when they are made white.
    int64_t firstDamaged = INT64_MAX;
    std::string firstDamagedError;

    // Workers still running, for the watching thread.
    std::mutex runningMutex;
    std::condition_variable finished;
    int running = 0;
};

void Fail(Shared& s, int64_t index, const std::string& error) {
    {
        const std::lock_guard<std::mutex> lock(s.failureMutex);
        if (index < s.firstFailure) {
            s.firstFailure = index;
            s.firstError = error;
        }
    }
    s.stop.Raise();
}

// Hands a made tile to the writer; false when the work should stop (a failure, or the stop).
bool Put(Shared& s, const TileAddress& at, const MadeTile& tile) {
    std::string error;
    const EncodedTile encoded{at, tile.width, tile.height, tile.data(), tile.size(), tile.damaged};
    switch (s.writer.PutTile(encoded, s.stop, &error)) {
        case PutResult::Written:
            s.counts.bytes += tile.size();
            ++s.counts.done;
            return true;
        case PutResult::Stopped:
            return false;
        case PutResult::Failed:
            Fail(s, at.index, error);
            return false;
    }
    return false;
}

// Ordered writers: leaves the tile in the window, then hands the writer every tile it can take
// in order, unless another thread is doing so already.
void Deliver(Shared& s, int64_t index, std::optional<MadeTile> tile) {
    std::unique_lock<std::mutex> lock(s.orderMutex);
    s.waiting.emplace(index, std::move(tile));
    if (s.delivering) return;
    s.delivering = true;
    for (;;) {
        const auto it = s.waiting.find(s.delivered);
        if (it == s.waiting.end() || s.stop.Requested()) break;
        std::optional<MadeTile> next = std::move(it->second);
        s.waiting.erase(it);
        lock.unlock();
        const bool ok = !next || Put(s, s.plan.Address(s.delivered), *next);
        next.reset();
        lock.lock();
        if (!ok) break;
        ++s.delivered;
        s.room.notify_all();
    }
    s.delivering = false;
    s.room.notify_all();
}

// A tile that could not be read made white instead, where the plan says so; false (the read's
// message kept) otherwise.
bool MadeWhite(Shared& s, const TileAddress& at, MadeTile* tile, std::string* error) {
    if (!s.plan.whiteForUnreadable || !tile->unreadable) return false;
    std::string why;
    if (!MakeWhiteTile(s.plan, at, tile, &why)) {
        *error = why;
        return false;
    }
    ++s.counts.damaged;
    const std::lock_guard<std::mutex> lock(s.failureMutex);
    if (at.index < s.firstDamaged) {
        s.firstDamaged = at.index;
        s.firstDamagedError = *error;
    }
    return true;
}

// The next tile number to make, or -1 when there is none or the work stops.
int64_t Claim(Shared& s) {
    if (s.stop.Requested()) return -1;
    if (!s.ordered) {
        const int64_t index = s.next.fetch_add(1, std::memory_order_relaxed);
        return index < s.total ? index : -1;
    }
    std::unique_lock<std::mutex> lock(s.orderMutex);
    // An outside cancel wakes no one: look again now and then.
    while (!s.stop.Requested() && s.next.load() >= s.delivered + s.window)
        s.room.wait_for(lock, kWatchInterval);
    if (s.stop.Requested() || s.next.load() >= s.total) return -1;
    return s.next.fetch_add(1);
}

void Work(Shared& s) {
    MadeTile tile;
    std::string error;
    for (int64_t index = Claim(s); index >= 0; index = Claim(s)) {
        const TileAddress at = s.plan.Address(index);
        if (s.writer.HasTile(at)) {
            ++s.counts.skipped;
            ++s.counts.done;
            if (s.ordered) Deliver(s, index, std::nullopt);
            continue;
        }
        if (!MakeTile(s.job, s.plan, at, &tile, &error) && !MadeWhite(s, at, &tile, &error)) {
            Fail(s, index, error);
            break;
        }
        if (s.ordered) {
            // Only the encoded bytes wait in the window: the scratch buffers stay with the
            // worker, for its next tile (fresh ones would cost page faults every tile).
            MadeTile made;
            made.width = tile.width;
            made.height = tile.height;
            made.damaged = tile.damaged;
            made.library = std::move(tile.library);
            made.librarySize = tile.librarySize;
            made.own.swap(tile.own);
            Deliver(s, index, std::move(made));
        } else if (!Put(s, at, tile)) {
            break;
        }
    }
    // Whoever waits for room looks again.
    if (s.ordered) {
        const std::lock_guard<std::mutex> lock(s.orderMutex);
        s.room.notify_all();
    }
}

void WorkAndReport(Shared& s) {
    Work(s);
    const std::lock_guard<std::mutex> lock(s.runningMutex);
    --s.running;
    s.finished.notify_all();
}

}  // namespace

bool PutAssociatedImages(const SlideExport& slide, const Plan& plan, Writer* writer,
                         std::string* error) {
    for (const AssociatedRequest& request : plan.associated) {
        AssociatedImage image;
        image.name = request.name;
        tarn_get_associated_image_dimensions(slide.slide, request.name.c_str(), &image.width,
                                             &image.height);
        const char* why = nullptr;
        if (image.width > 0 && image.height > 0) {
            image.rgb.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height) *
                             3);
            if (tarn_read_associated_image(slide.slide, request.name.c_str(), image.rgb.data(),
                                           TARN_FORMAT_RGB) != 0)
                why = tarn_get_error(slide.slide);
        } else {
            why = "the slide has none";
        }
        uint8_t* stored = nullptr;
        size_t size = 0;
        if (why == nullptr && request.stored) {
            if (tarn_read_associated_image_stored(slide.slide, request.name.c_str(), &stored, &size,
                                                  &image.storedCodec) != 0)
                why = tarn_get_error(slide.slide);
            else
                image.stored.assign(stored, stored + size);
            tarn_free(stored);
        }
        if (why != nullptr) {
            *error = "cannot read the " + request.name + " image of " + slide.shown + ": " + why;
            return false;
        }
        if (!writer->PutAssociated(image, error)) return false;
    }
    return true;
}

int WorkerThreads(int wanted) {
    const int processors = tarn::ProcessorCount();
    const int most =
        processors > INT_MAX / kThreadsPerProcessor ? INT_MAX : processors * kThreadsPerProcessor;
    return wanted <= 0 ? processors : std::min(wanted, most);
}

RunResult RunPlan(const SlideExport& job, const Plan& plan, Writer* writer, int threads,
                  StopState* stop, TileCounts* counts, const std::function<bool()>& watch,
                  std::string* error) {
    const int64_t total = plan.TileCount();
    const int workers = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, total)));
    Shared s(job, plan, *writer, *stop, *counts, workers);
    std::vector<std::thread> pool;
    s.running = workers;
    for (int i = 0; i < workers; ++i) {
        try {
            pool.emplace_back(WorkAndReport, std::ref(s));
        } catch (const std::system_error&) {
            // Fewer threads than asked for: the work still gets done.
            const std::lock_guard<std::mutex> lock(s.runningMutex);
            s.running -= workers - i;
            break;
        }
    }
    if (pool.empty()) {
        s.running = 1;
        WorkAndReport(s);
    }
    {
        std::unique_lock<std::mutex> lock(s.runningMutex);
        while (!s.finished.wait_for(lock, kWatchInterval, [&] { return s.running == 0; })) {
            lock.unlock();
            if (!watch()) stop->Cancel();
            lock.lock();
        }
    }
    for (std::thread& thread : pool)
        thread.join();
    if (s.firstFailure != INT64_MAX) {
        *error = s.firstError;
        return RunResult::Failed;
    }
    if (stop->Cancelled()) return RunResult::Cancelled;
    // A slide of which nothing reads (a file gone, a server down) is no slide with damaged tiles.
    const int64_t made = total - counts->skipped.load();
    if (made > 0 && counts->damaged.load() == made) {
        *error = "not one tile could be read (" + s.firstDamagedError + ")";
        return RunResult::Failed;
    }
    return RunResult::Done;
}

}  // namespace tarnexport
