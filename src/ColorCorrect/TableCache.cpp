// The registry of colour tables in this process: one table per distinct set of parameters,
// shared by reference count. A table comes from the table folder when the folder has it, and is
// built otherwise; a table built here is then written to the folder, on a thread of its own so
// that the open that built it does not wait for the disk. A table mapped from the folder that
// nobody references stays mapped a while, so that reopening its slide maps nothing; it is
// reused only while the folder still holds the very file. A table built here that nobody
// references is dropped at once when the folder has it (mapping it costs less than its memory),
// and otherwise kept cached, the most recently released one only. The exported `ColorTable`
// holds a reference of its own.
//
// One mutex guards the registry and every write of `ColorTable` by the library. Tables are built,
// mapped, written and freed outside it; a thread asking for parameters that another thread is
// building waits for that build instead of starting its own.
#include <pthread.h>

#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "ColorCorrect/TableFiles.h"
#include "Common/ThreadCap.h"

namespace tarn {
namespace {

// One unreferenced table that only this process holds (about 113 MiB): enough for a viewer that
// switches back to the slide it just closed, without holding memory for every slide ever opened.
constexpr int kMaxCachedTables = 1;

// Released tables mapped from the folder stay mapped for this long, this many at most. They cost
// address space and page tables over the shared page cache, and 2 MiB of private memory only
// once the fixed interface has shown them through `ColorTable`.
constexpr int kMaxKeptMappings = 4;
constexpr uint64_t kKeepMappedSeconds = 300;

struct Registry {
    std::mutex mutex;
    std::condition_variable buildDone;
    std::condition_variable writesDone;
    ColorLut* tables = nullptr;        // every table that exists, built or being built
    const ColorLut* global = nullptr;  // the table whose reference `ColorTable` holds
    uint64_t releaseClock = 0;
    uint64_t builds = 0;
    int pendingWrites = 0;
};

void PrepareFork();
void ParentAfterFork();
void ChildAfterFork();

Registry& TheRegistry() {
    static Registry registry;
    static const bool forkSafe = pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork) == 0;
    (void)forkSafe;
    return registry;
}

// Bit for bit: a NaN parameter matches the same NaN, and -0 and 0 are told apart.
bool SameParams(const ColorParams& a, const ColorParams& b) {
    using Bits = std::array<uint32_t, sizeof(ColorParams) / sizeof(uint32_t)>;
    return std::bit_cast<Bits>(a) == std::bit_cast<Bits>(b);
}

ColorLut* FindByParams(Registry& reg, const ColorParams& params) {
    for (ColorLut* lut = reg.tables; lut != nullptr; lut = lut->next)
        if (SameParams(lut->params, params)) return lut;
    return nullptr;
}

void Unlink(Registry& reg, ColorLut* target) {
    for (ColorLut** link = &reg.tables; *link != nullptr; link = &(*link)->next) {
        if (*link == target) {
            *link = target->next;
            target->next = nullptr;
            return;
        }
    }
}

// Unlinks unreferenced tables of one kind (mapped from the folder, or built here), least recently
// released first, while more than `keep` remain or the oldest was released before the second
// `expiredBefore`; returns them as a list for the caller to free outside the lock.
ColorLut* EvictBeyond(Registry& reg, bool mapped, int keep, uint64_t expiredBefore = 0) {
    ColorLut* evicted = nullptr;
    for (;;) {
        int cached = 0;
        ColorLut* oldest = nullptr;
        for (ColorLut* lut = reg.tables; lut != nullptr; lut = lut->next) {
            if (!lut->ready || lut->refs > 0 || lut->fromFile != mapped) continue;
            ++cached;
            if (oldest == nullptr || lut->releasedAt < oldest->releasedAt) oldest = lut;
        }
        if (oldest == nullptr || (cached <= keep && oldest->releasedSeconds >= expiredBefore))
            return evicted;
        Unlink(reg, oldest);
        oldest->next = evicted;
        evicted = oldest;
    }
}

// Kept mappings released longer ago than kKeepMappedSeconds, and beyond kMaxKeptMappings.
ColorLut* EvictKeptMappings(Registry& reg, uint64_t now) {
    return EvictBeyond(reg, true, kMaxKeptMappings,
                       now > kKeepMappedSeconds ? now - kKeepMappedSeconds : 0);
}

ColorLut* Prepend(ColorLut* list, ColorLut* more) {
    if (more == nullptr) return list;
    ColorLut* last = more;
    while (last->next != nullptr)
        last = last->next;
    last->next = list;
    return more;
}

void FreeList(ColorLut* list) {
    while (list != nullptr) {
        ColorLut* next = list->next;
        FreeColorLut(list);
        list = next;
    }
}

// Drops one reference; returns tables the cache no longer keeps.
ColorLut* DropReferenceLocked(Registry& reg, const ColorLut* lut) {
    auto* mutableLut = const_cast<ColorLut*>(lut);
    if (--mutableLut->refs > 0) return nullptr;
    const uint64_t now = MonotonicSeconds();
    mutableLut->releasedAt = ++reg.releaseClock;
    mutableLut->releasedSeconds = now;
    if (mutableLut->fromFile) return EvictKeptMappings(reg, now);
    if (mutableLut->inFolder) {
        Unlink(reg, mutableLut);
        return mutableLut;
    }
    return EvictBeyond(reg, false, kMaxCachedTables);
}

ColorLut* FindByTableLocked(Registry& reg, const PlaneTable* table) {
    for (ColorLut* lut = reg.tables; lut != nullptr; lut = lut->next)
        if (lut->ready && &lut->table == table) return lut;
    return nullptr;
}

}  // namespace

ColorParams NeutralColorParams() {
    ColorParams params{};
    params.gamma = 1.0f;
    for (int c = 0; c < 3; ++c) {
        params.gains[c] = 1.0f;
        params.hsvScale[c] = 1.0f;
        params.matrix[4 * c] = 1.0f;
    }
    return params;
}

ColorParams ColorParamsOf(const ExtraRecord* extra) {
    if (extra == nullptr) return NeutralColorParams();
    ColorParams params{};
    params.gamma = extra->Gamma > 0.0f ? extra->Gamma : 1.0f;  // also catches NaN
    memcpy(params.gains, reinterpret_cast<const uint8_t*>(extra) + offsetof(ExtraRecord, Gains),
           sizeof params.gains);
    memcpy(params.hsvScale,
           reinterpret_cast<const uint8_t*>(extra) + offsetof(ExtraRecord, HsvScale),
           sizeof params.hsvScale);
    memcpy(params.matrix,
           reinterpret_cast<const uint8_t*>(extra) + offsetof(ExtraRecord, ColorMatrix),
           sizeof params.matrix);
    return params;
}

namespace {

// Whoever holds the writer's reference to `lut` writes it to the folder, then drops that
// reference.
void WriteAndRelease(const CacheFolder& folder, ColorLut* lut) {
    const bool written = WriteTableFile(folder, *lut);
    Registry& reg = TheRegistry();
    ColorLut* evicted = nullptr;
    {
        std::lock_guard lock(reg.mutex);
        lut->inFolder = written;
        lut->writing = false;
        --reg.pendingWrites;
        evicted = DropReferenceLocked(reg, lut);
        reg.writesDone.notify_all();
    }
    FreeList(evicted);
}

// A process that exits, or unloads the library, first lets pending writes finish: a short-lived
// program would otherwise never leave its tables in the folder.
struct WritesFinishAtExit {
    ~WritesFinishAtExit() { WaitForColorLutWrites(); }
};

// Writes on a thread of its own, or on the caller's when the library is kept to one thread.
void StartWrite(const CacheFolder& folder, ColorLut* lut) {
    if (ThreadBudget() > 1) {
        static WritesFinishAtExit finishAtExit;
        try {
            std::thread(WriteAndRelease, folder, lut).detach();
            return;
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
    }
    WriteAndRelease(folder, lut);
}

}  // namespace

namespace {

// The table of `params` when the registry has one ready (a kept mapping only while the folder
// still holds its file), with a reference for the caller; else null once no other thread is
// building these parameters. Tables found stale join `stale`.
ColorLut* FindReadyLocked(Registry& reg, std::unique_lock<std::mutex>& lock,
                          const ColorParams& params, ColorLut** stale) {
    for (;;) {
        const uint64_t now = MonotonicSeconds();
        *stale = Prepend(*stale, EvictKeptMappings(reg, now));
        ColorLut* lut = FindByParams(reg, params);
        if (lut == nullptr) return nullptr;
        if (!lut->ready) {
            // Another thread is building these parameters; a failed build disappears from the
            // registry, and then this thread tries for itself.
            reg.buildDone.wait(lock);
            continue;
        }
        if (lut->fromFile && lut->refs == 0 && !TableFileUnchanged(*lut)) {
            // Evicted from the folder, or replaced: whatever the folder holds now is used.
            Unlink(reg, lut);
            lut->next = *stale;
            *stale = lut;
            continue;
        }
        ++lut->refs;
        if (lut->fromFile) MarkTableFileUsed(lut, now);
        return lut;
    }
}

}  // namespace

const ColorLut* AcquireColorLut(const ColorParams& params) {
    Registry& reg = TheRegistry();
    std::unique_lock lock(reg.mutex);
    ColorLut* stale = nullptr;
    if (ColorLut* ready = FindReadyLocked(reg, lock, params, &stale); ready != nullptr) {
        lock.unlock();
        FreeList(stale);
        return ready;
    }

    // Claim the parameters with a placeholder so concurrent askers wait rather than build.
    auto* placeholder = new (std::nothrow) ColorLut;
    if (placeholder == nullptr) {
        lock.unlock();
        FreeList(stale);
        return nullptr;
    }
    placeholder->params = params;
    placeholder->next = reg.tables;
    reg.tables = placeholder;
    lock.unlock();
    FreeList(stale);

    CacheFolder folder;
    const bool haveFolder = FindCacheFolder(&folder);
    ColorLut* lut = haveFolder ? MapTableFile(folder, params) : nullptr;
    const bool built = lut == nullptr;
    if (built) lut = BuildColorLut(params);

    lock.lock();
    Unlink(reg, placeholder);
    delete placeholder;
    const bool write = built && lut != nullptr && haveFolder;
    if (lut != nullptr) {
        lut->refs = write ? 2 : 1;  // the caller's, and the writer's
        lut->writing = write;
        lut->ready = true;
        lut->next = reg.tables;
        reg.tables = lut;
        if (built) ++reg.builds;
        if (write) ++reg.pendingWrites;
    }
    reg.buildDone.notify_all();
    lock.unlock();
    if (write) StartWrite(folder, lut);
    return lut;
}

void RetainColorLut(const ColorLut* lut) {
    if (lut == nullptr) return;
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    ++const_cast<ColorLut*>(lut)->refs;
}

void ReleaseColorLut(const ColorLut* lut) {
    if (lut == nullptr) return;
    Registry& reg = TheRegistry();
    ColorLut* evicted = nullptr;
    {
        std::lock_guard lock(reg.mutex);
        evicted = DropReferenceLocked(reg, lut);
    }
    FreeList(evicted);
}

void TrimColorLutCache() {
    Registry& reg = TheRegistry();
    ColorLut* evicted = nullptr;
    {
        std::lock_guard lock(reg.mutex);
        evicted = Prepend(EvictBeyond(reg, true, 0), EvictBeyond(reg, false, 0));
    }
    FreeList(evicted);
}

uint64_t ColorLutBuildCount() {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    return reg.builds;
}

void WaitForColorLutWrites() {
    Registry& reg = TheRegistry();
    std::unique_lock lock(reg.mutex);
    reg.writesDone.wait(lock, [&] { return reg.pendingWrites == 0; });
}

namespace {

PlaneTable* ExportedTableLocked(const ColorLut* lut) {
    auto* mutableLut = const_cast<ColorLut*>(lut);
    return lut != nullptr && LinkExportedView(mutableLut) ? &mutableLut->table : nullptr;
}

}  // namespace

PlaneTable* ExportedTable(const ColorLut* lut) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    return ExportedTableLocked(lut);
}

ColorLookup LookupOf(const ColorLut* lut) {
    ColorLookup lookup;
    if (lut != nullptr) lookup.packed = lut->packed;
    return lookup;
}

void PublishColorTable(const ColorLut* lut) {
    Registry& reg = TheRegistry();
    ColorLut* evicted = nullptr;
    {
        std::lock_guard lock(reg.mutex);
        PlaneTable* const view = ExportedTableLocked(lut);
        if (view == nullptr) lut = nullptr;  // no memory for its view: no table at all
        if (lut != nullptr) ++const_cast<ColorLut*>(lut)->refs;
        const ColorLut* previous = reg.global;
        reg.global = lut;
        SetPublishedTable(view);
        if (previous != nullptr) evicted = DropReferenceLocked(reg, previous);
    }
    FreeList(evicted);
}

bool DropGlobalReferenceTo(PlaneTable* table) {
    Registry& reg = TheRegistry();
    ColorLut* evicted = nullptr;
    bool managed = false;
    {
        std::lock_guard lock(reg.mutex);
        const ColorLut* lut = FindByTableLocked(reg, table);
        managed = lut != nullptr;
        if (PublishedTable() == table) SetPublishedTable(nullptr);
        if (managed && reg.global == lut) {
            reg.global = nullptr;
            evicted = DropReferenceLocked(reg, lut);
        }
    }
    FreeList(evicted);
    return managed;
}

PinnedGlobalTable::PinnedGlobalTable() {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    PlaneTable* const global = PublishedTable();
    if (global == nullptr) return;
    if (ColorLut* lut = FindByTableLocked(reg, global); lut != nullptr) {
        ++lut->refs;
        lut_ = lut;
        lookup_ = LookupOf(lut);
    } else {
        lookup_.table = global;  // built by the caller: read through its planes
    }
}

PinnedGlobalTable::~PinnedGlobalTable() {
    ReleaseColorLut(lut_);
}

namespace {

// fork() copies only the calling thread. The registry's mutex is held across it, so the child
// finds the registry consistent; what other threads had under way (builds, writes) never
// finishes in the child, so it forgets them.
void PrepareFork() {
    TheRegistry().mutex.lock();
}

void ParentAfterFork() {
    TheRegistry().mutex.unlock();
}

void ChildAfterFork() {
    Registry& reg = TheRegistry();
    for (ColorLut** link = &reg.tables; *link != nullptr;) {
        ColorLut* lut = *link;
        if (!lut->ready) {  // a placeholder: its builder is gone, and so is the build
            *link = lut->next;
            continue;
        }
        if (lut->writing) {
            lut->writing = false;
            if (--lut->refs == 0) lut->releasedAt = ++reg.releaseClock;
        }
        link = &lut->next;
    }
    reg.pendingWrites = 0;
    // Nobody waits on them in the child, but a waiter of the parent may have left state behind.
    new (&reg.buildDone) std::condition_variable;
    new (&reg.writesDone) std::condition_variable;
    reg.mutex.unlock();
}

}  // namespace

}  // namespace tarn
