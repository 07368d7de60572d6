// Many patches of one size: tarn_read_regions in one call, and the batch reader that decodes the
// next batches on its own threads while the caller works on the current one.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Common/EnumValue.h"
#include "Common/Geometry.h"
#include "Common/ThreadCap.h"
#include "Service/Patches.h"
#include "Service/Reads.h"
#include "TarnApi/Levels.h"
#include "TarnApi/PixelLayout.h"
#include "TarnApi/Slide.h"

namespace tarn {
namespace {

// The workers a call may use: what the caller asks for within the thread cap.
int WorkersFor(int threads) {
    const int budget = ThreadBudget();
    return threads <= 0 || threads > budget ? budget : threads;
}

// Checks a run of patches and turns its level-0 positions into the level's pixels; null after
// failing the call. `bytes`: of the whole run.
std::unique_ptr<PatchReader> PlanPatches(SlideCall& call, int64_t count, const int64_t* xy,
                                         int32_t level, int64_t w, int64_t h, int format,
                                         int64_t batchSize, uint64_t* bytes) {
    PixelFormat layout{};
    if (!CallerLayout(call, format, &layout)) return nullptr;
    const Level* found = FindLevel(call, level);
    if (found == nullptr) return nullptr;
    if (count < 0 || w < 0 || h < 0) {
        call.Fail("negative patch count or size: %lld patches of %lld x %lld pixels",
                  static_cast<long long>(count), static_cast<long long>(w),
                  static_cast<long long>(h));
        return nullptr;
    }
    if (count > 0 && xy == nullptr) {
        call.Fail("no patch positions");
        return nullptr;
    }
    uint64_t patch = 0, all = 0, pairs = 0;
    if (!CheckedMultiply(static_cast<uint64_t>(w), static_cast<uint64_t>(h), &patch) ||
        !CheckedMultiply(patch, static_cast<uint64_t>(BytesPerPixel(layout)), &patch) ||
        !CheckedMultiply(patch, static_cast<uint64_t>(count), &all) || all > PTRDIFF_MAX ||
        !CheckedMultiply(static_cast<uint64_t>(count), 2 * sizeof(int64_t), &pairs) ||
        pairs > PTRDIFF_MAX) {
        call.Fail("%lld patches of %lld x %lld pixels do not fit in memory",
                  static_cast<long long>(count), static_cast<long long>(w),
                  static_cast<long long>(h));
        return nullptr;
    }
    *bytes = all;
    std::vector<int64_t> positions(static_cast<size_t>(2 * count));
    for (int64_t i = 0; i < count; ++i) {
        positions[static_cast<size_t>(2 * i)] = ToLevel(xy[2 * i], found->downsample);
        positions[static_cast<size_t>(2 * i + 1)] = ToLevel(xy[2 * i + 1], found->downsample);
    }
    const SlideReader read(*call.slide().core);
    const PatchShape shape{static_cast<uint32_t>(level), w, h, layout};
    return std::make_unique<PatchReader>(read.context().layer(static_cast<uint32_t>(level)).grid,
                                         shape, std::move(positions), batchSize);
}

// Reads patches [first, first + n) of the run into `dest` within `call`; false after failing it
// with the first failure's reason.
bool ReadPatchBatch(SlideCall& call, PatchReader& patches, int64_t first, int64_t n, uint8_t* dest,
                    int* status, int workers) {
    if (n <= 0) return true;
    if (patches.patchBytes() == 0) {
        std::fill(status, status + n, 0);
        return true;
    }
    const SlideReader read(*call.slide().core);
    if (patches.ReadBatch(read.context(), first, n, dest, status, workers) == 0) return true;
    call.Fail("%s", read.why());
    return false;
}

// Readers' workers decode only while holding this shared; fork() takes it whole, so that a child
// never starts with a worker's half-done decode (a cache or table lock it can never release).
// The child starts with a gate of its own: the parent's is held by a thread id the child's only
// thread does not have, and a lock cannot be released by another thread than the one holding it.
std::shared_mutex* forkGate = new std::shared_mutex;

std::shared_mutex& ForkGate() {
    return *forkGate;
}

void GuardForks() {
    static std::once_flag once;
    std::call_once(once, [] {
        pthread_atfork([] { forkGate->lock(); }, [] { forkGate->unlock(); },
                       [] { forkGate = new std::shared_mutex; });
    });
}

// A batch decoded ahead: its pixels, each patch's status, and the first failure's reason.
struct ReadyBatch {
    std::vector<uint8_t> pixels;
    std::vector<int> status;
    int64_t filled = 0;
    bool ok = true;
    std::string why;
};

}  // namespace
}  // namespace tarn

struct tarn_batch_reader {
    tarn_slide* slide = nullptr;
    pid_t owner = 0;  // the process whose threads these are; a forked child has none of them
    std::unique_ptr<tarn::PatchReader> patches;
    int64_t batchSize = 1;
    int32_t prefetch = 0;
    int workers = 1;
    int64_t nextBatch = 0;  // first patch of the next batch to decode
    // With prefetch: the producer's queue of decoded batches, under `lock`.
    std::mutex lock;
    std::condition_variable changed;
    std::deque<tarn::ReadyBatch> ready;
    std::vector<tarn::ReadyBatch> spare;
    bool stopping = false;
    bool finished = false;  // the producer has decoded the last batch (or could not go on)
    std::thread producer;
};

namespace tarn {
namespace {

void Produce(tarn_batch_reader* reader) {
    const int64_t total = reader->patches->count();
    const size_t patchBytes = reader->patches->patchBytes();
    for (;;) {
        ReadyBatch batch;
        {
            std::unique_lock<std::mutex> hold(reader->lock);
            reader->changed.wait(hold, [&] {
                return reader->stopping ||
                       reader->ready.size() < static_cast<size_t>(reader->prefetch);
            });
            if (reader->stopping || reader->nextBatch >= total) break;
            if (!reader->spare.empty()) {
                batch = std::move(reader->spare.back());
                reader->spare.pop_back();
            }
        }
        const int64_t first = reader->nextBatch;
        const int64_t n = std::min(reader->batchSize, total - first);
        bool ok = true;
        try {
            batch.pixels.resize(static_cast<size_t>(n) * patchBytes);
            batch.status.assign(static_cast<size_t>(n), -1);
            batch.filled = n;
            const std::shared_lock<std::shared_mutex> decoding(ForkGate());
            SlideCall call(reader->slide);
            batch.ok = ReadPatchBatch(call, *reader->patches, first, n, batch.pixels.data(),
                                      batch.status.data(), reader->workers);
            if (!batch.ok) {
                const char* why = call.slide().errors.Get();
                batch.why = why != nullptr ? why : "a patch could not be read";
            }
        } catch (...) {
            ok = false;
        }
        std::lock_guard<std::mutex> hold(reader->lock);
        if (!ok) {
            batch.ok = false;
            batch.filled = n;
            batch.status.assign(static_cast<size_t>(n), -1);
            batch.why = "out of memory";
        }
        reader->nextBatch = first + n;
        reader->ready.push_back(std::move(batch));
        reader->changed.notify_all();
    }
    std::lock_guard<std::mutex> hold(reader->lock);
    reader->finished = true;
    reader->changed.notify_all();
}

}  // namespace
}  // namespace tarn

using namespace tarn;

int tarn_read_regions(tarn_slide* slide, int64_t count, const int64_t* xy, int32_t level, int64_t w,
                      int64_t h, tarn_format format, void* dest, int* status, int threads) {
    const int number = EnumValue(format);
    std::vector<int> own;
    // A call that fails before it reads has read no patch.
    if (slide != nullptr && status != nullptr && count > 0) std::fill(status, status + count, -1);
    return OnSlide(slide, -1, [&](SlideCall& call) {
        uint64_t bytes = 0;
        const std::unique_ptr<PatchReader> patches =
            PlanPatches(call, count, xy, level, w, h, number, count, &bytes);
        if (patches == nullptr) return -1;
        if (bytes > 0 && dest == nullptr) {
            call.Fail("no destination buffer");
            return -1;
        }
        int* statuses = status;
        if (statuses == nullptr) {
            own.resize(static_cast<size_t>(count));
            statuses = own.data();
        }
        return ReadPatchBatch(call, *patches, 0, count, static_cast<uint8_t*>(dest), statuses,
                              WorkersFor(threads))
                   ? 0
                   : -1;
    });
}

tarn_batch_reader* tarn_batch_reader_create(tarn_slide* slide, int64_t count, const int64_t* xy,
                                            int32_t level, int64_t w, int64_t h, tarn_format format,
                                            int64_t batch_size, int32_t prefetch, int threads) {
    const int number = EnumValue(format);
    return OnSlide(slide, static_cast<tarn_batch_reader*>(nullptr),
                   [&](SlideCall& call) -> tarn_batch_reader* {
                       if (batch_size < 1 || prefetch < 0) {
                           call.Fail(
                               "a batch size must be at least 1 (not %lld) and the batches "
                               "decoded ahead at least 0 (not %d)",
                               static_cast<long long>(batch_size), prefetch);
                           return nullptr;
                       }
                       uint64_t bytes = 0;
                       auto reader = std::make_unique<tarn_batch_reader>();
                       reader->patches =
                           PlanPatches(call, count, xy, level, w, h, number, batch_size, &bytes);
                       if (reader->patches == nullptr) return nullptr;
                       reader->slide = slide;
                       reader->owner = getpid();
                       reader->batchSize = batch_size;
                       reader->prefetch = prefetch;
                       reader->workers = WorkersFor(threads);
                       if (prefetch > 0) {
                           GuardForks();
                           try {
                               reader->producer = std::thread(Produce, reader.get());
                           } catch (const std::system_error&) {
                               reader->prefetch = 0;  // decoded on the caller's thread instead
                           }
                       }
                       return reader.release();
                   });
}

int tarn_batch_reader_next(tarn_batch_reader* reader, void* dest, int64_t* filled) {
    if (filled != nullptr) *filled = 0;
    if (reader == nullptr || filled == nullptr) return -1;
    return OnSlide(reader->slide, -1, [&](SlideCall& call) {
        if (reader->owner != getpid()) {
            call.Fail(
                "the batch reader belongs to the process that made it: create another "
                "after fork()");
            return -1;
        }
        PatchReader& patches = *reader->patches;
        if (reader->prefetch == 0) {
            const int64_t first = reader->nextBatch;
            const int64_t n = std::min(reader->batchSize, patches.count() - first);
            if (n <= 0) return 0;
            if (dest == nullptr && patches.patchBytes() > 0) {
                call.Fail("no destination buffer");
                return -1;
            }
            std::vector<int> status(static_cast<size_t>(n));
            reader->nextBatch = first + n;
            *filled = n;
            return ReadPatchBatch(call, patches, first, n, static_cast<uint8_t*>(dest),
                                  status.data(), reader->workers)
                       ? 0
                       : -1;
        }
        if (dest == nullptr && patches.patchBytes() > 0) {
            call.Fail("no destination buffer");
            return -1;
        }
        ReadyBatch batch;
        {
            std::unique_lock<std::mutex> hold(reader->lock);
            reader->changed.wait(hold, [&] { return !reader->ready.empty() || reader->finished; });
            if (reader->ready.empty()) return 0;
            batch = std::move(reader->ready.front());
            reader->ready.pop_front();
        }
        if (dest != nullptr) memcpy(dest, batch.pixels.data(), batch.pixels.size());
        *filled = batch.filled;
        const bool ok = batch.ok;
        if (!ok) call.Fail("%s", batch.why.c_str());
        std::lock_guard<std::mutex> hold(reader->lock);
        reader->spare.push_back(std::move(batch));
        reader->changed.notify_all();
        return ok ? 0 : -1;
    });
}

void tarn_batch_reader_destroy(tarn_batch_reader* reader) {
    if (reader == nullptr) return;
    if (reader->owner != getpid()) {
        // A forked child: the producer is not there to join and its lock may be held by a
        // thread the child does not have. Leave the parent's memory alone.
        return;
    }
    {
        std::lock_guard<std::mutex> hold(reader->lock);
        reader->stopping = true;
        reader->changed.notify_all();
    }
    if (reader->producer.joinable()) reader->producer.join();
    delete reader;
}
