// The registry of built colour tables: one table per distinct set of parameters, shared by
// reference count; tables nobody references stay cached (the most recently released few) so that
// reopening a slide does not rebuild. The exported `ColorTable` holds a reference of its own.
//
// One mutex guards the registry and every write of `ColorTable` by the library. Tables are built
// and freed outside it; a thread asking for parameters that another thread is building waits for
// that build instead of starting its own.
#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "ColorCorrect/ColorLut.h"

namespace tarn {
namespace {

// Two unreferenced tables (about 230 MiB) at most: enough for a viewer that switches between a
// couple of slides, without holding memory for every slide ever opened.
constexpr int kMaxCachedTables = 2;

struct Registry {
    std::mutex mutex;
    std::condition_variable buildDone;
    ColorLut* tables = nullptr;        // every table that exists, built or being built
    const ColorLut* global = nullptr;  // the table whose reference `ColorTable` holds
    uint64_t releaseClock = 0;
    uint64_t builds = 0;
};

Registry& TheRegistry() {
    static Registry registry;
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

// Unlinks the least recently released unreferenced table while more than `keep` are cached;
// returns the unlinked tables as a list for the caller to free outside the lock.
ColorLut* EvictBeyond(Registry& reg, int keep) {
    ColorLut* evicted = nullptr;
    for (;;) {
        int cached = 0;
        ColorLut* oldest = nullptr;
        for (ColorLut* lut = reg.tables; lut != nullptr; lut = lut->next) {
            if (!lut->ready || lut->refs > 0) continue;
            ++cached;
            if (oldest == nullptr || lut->releasedAt < oldest->releasedAt) oldest = lut;
        }
        if (cached <= keep) return evicted;
        Unlink(reg, oldest);
        oldest->next = evicted;
        evicted = oldest;
    }
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
    mutableLut->releasedAt = ++reg.releaseClock;
    return EvictBeyond(reg, kMaxCachedTables);
}

ColorLut* FindByTableLocked(Registry& reg, const ColorCorrectTable* table) {
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

ColorParams ColorParamsOf(const ZyExtraInfo* extra) {
    if (extra == nullptr) return NeutralColorParams();
    ColorParams params{};
    params.gamma = extra->Gamma > 0.0f ? extra->Gamma : 1.0f;  // also catches NaN
    memcpy(params.gains, reinterpret_cast<const uint8_t*>(extra) + offsetof(ZyExtraInfo, Gains),
           sizeof params.gains);
    memcpy(params.hsvScale,
           reinterpret_cast<const uint8_t*>(extra) + offsetof(ZyExtraInfo, HsvScale),
           sizeof params.hsvScale);
    memcpy(params.matrix,
           reinterpret_cast<const uint8_t*>(extra) + offsetof(ZyExtraInfo, ColorMatrix),
           sizeof params.matrix);
    return params;
}

const ColorLut* AcquireColorLut(const ColorParams& params) {
    Registry& reg = TheRegistry();
    std::unique_lock lock(reg.mutex);
    for (;;) {
        ColorLut* lut = FindByParams(reg, params);
        if (lut == nullptr) break;
        if (lut->ready) {
            ++lut->refs;
            return lut;
        }
        // Another thread is building these parameters; a failed build disappears from the
        // registry, and then this thread tries for itself.
        reg.buildDone.wait(lock);
    }

    // Claim the parameters with a placeholder so concurrent askers wait rather than build.
    auto* placeholder = new (std::nothrow) ColorLut;
    if (placeholder == nullptr) return nullptr;
    placeholder->params = params;
    placeholder->next = reg.tables;
    reg.tables = placeholder;
    lock.unlock();

    ColorLut* built = BuildColorLut(params);

    lock.lock();
    Unlink(reg, placeholder);
    delete placeholder;
    if (built != nullptr) {
        built->refs = 1;
        built->ready = true;
        built->next = reg.tables;
        reg.tables = built;
        ++reg.builds;
    }
    reg.buildDone.notify_all();
    return built;
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
        evicted = EvictBeyond(reg, 0);
    }
    FreeList(evicted);
}

uint64_t ColorLutBuildCount() {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    return reg.builds;
}

ColorCorrectTable* ExportedTable(const ColorLut* lut) {
    return lut == nullptr ? nullptr : &const_cast<ColorLut*>(lut)->table;
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
        if (lut != nullptr) ++const_cast<ColorLut*>(lut)->refs;
        const ColorLut* previous = reg.global;
        reg.global = lut;
        ColorTable = ExportedTable(lut);
        if (previous != nullptr) evicted = DropReferenceLocked(reg, previous);
    }
    FreeList(evicted);
}

bool DropGlobalReferenceTo(ColorCorrectTable* table) {
    Registry& reg = TheRegistry();
    ColorLut* evicted = nullptr;
    bool managed = false;
    {
        std::lock_guard lock(reg.mutex);
        const ColorLut* lut = FindByTableLocked(reg, table);
        managed = lut != nullptr;
        if (ColorTable == table) ColorTable = nullptr;
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
    if (ColorTable == nullptr) return;
    if (ColorLut* lut = FindByTableLocked(reg, ColorTable); lut != nullptr) {
        ++lut->refs;
        lut_ = lut;
        lookup_ = LookupOf(lut);
    } else {
        lookup_.table = ColorTable;  // built by the caller: read through its planes
    }
}

PinnedGlobalTable::~PinnedGlobalTable() {
    ReleaseColorLut(lut_);
}

}  // namespace tarn
