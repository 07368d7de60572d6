#include "Core/TileMemory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

namespace tarn {
namespace {

constexpr size_t kSlabBytes = size_t{2} << 20;
constexpr size_t kAlign = 64;
// A size fewer blocks of which fit a slab wastes too much of it: such blocks come from malloc.
constexpr size_t kLeastBlocks = 4;

struct FreeBlock {
    FreeBlock* next;
};

size_t Rounded(size_t bytes) {
    return (bytes + kAlign - 1) / kAlign * kAlign;
}

}  // namespace

// A slab: this header, then its blocks.
struct Slab {
    TileArena* arena = nullptr;
    Slab* next = nullptr;  // in the arena's list
    size_t blockBytes = 0;
    size_t blocks = 0;  // that fit
    size_t carved = 0;  // handed out at least once
    size_t inUse = 0;
    FreeBlock* free = nullptr;
};

struct TileArena {
    std::mutex mutex;
    Slab* slabs = nullptr;
    // The cache's reference and one per slab: the arena goes with the last of them.
    std::atomic<size_t> references{1};
    bool cacheGone = false;  // under mutex
};

namespace {

constexpr size_t kSlabHeader = (sizeof(Slab) + kAlign - 1) / kAlign * kAlign;

uint8_t* BlocksOf(Slab* slab) {
    return reinterpret_cast<uint8_t*>(slab) + kSlabHeader;
}

void DropArena(TileArena* arena) {
    if (arena->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete arena;
}

// A block of a slab of the arena with room; null when none has any. Under the arena's lock.
void* TakeFromSlabs(TileArena* arena, size_t bytes, Slab** from) {
    for (Slab* slab = arena->slabs; slab != nullptr; slab = slab->next) {
        if (slab->blockBytes != bytes) continue;
        void* block = nullptr;
        if (slab->free != nullptr) {
            block = slab->free;
            slab->free = slab->free->next;
        } else if (slab->carved < slab->blocks) {
            block = BlocksOf(slab) + slab->carved++ * bytes;
        } else {
            continue;
        }
        ++slab->inUse;
        *from = slab;
        return block;
    }
    return nullptr;
}

// Whether the arena holds another slab of `slab`'s size. Under the arena's lock.
bool HasAnother(const TileArena* arena, const Slab* slab) {
    for (const Slab* other = arena->slabs; other != nullptr; other = other->next)
        if (other != slab && other->blockBytes == slab->blockBytes) return true;
    return false;
}

void Unlink(TileArena* arena, Slab* slab) {
    for (Slab** link = &arena->slabs; *link != nullptr; link = &(*link)->next)
        if (*link == slab) {
            *link = slab->next;
            return;
        }
}

void FreeSlab(Slab* slab) {
    TileArena* arena = slab->arena;
    slab->~Slab();
    free(slab);
    DropArena(arena);
}

}  // namespace

TileArena* CreateTileArena() {
    return new (std::nothrow) TileArena;
}

void ReleaseTileArena(TileArena* arena) {
    if (arena == nullptr) return;
    Slab* idle = nullptr;
    {
        const std::lock_guard<std::mutex> hold(arena->mutex);
        arena->cacheGone = true;
        for (Slab** link = &arena->slabs; *link != nullptr;) {
            Slab* slab = *link;
            if (slab->inUse > 0) {
                link = &slab->next;
                continue;
            }
            *link = slab->next;
            slab->next = idle;
            idle = slab;
        }
    }
    while (idle != nullptr) {
        Slab* next = idle->next;
        FreeSlab(idle);
        idle = next;
    }
    DropArena(arena);
}

void* TakeBlock(TileArena* arena, size_t bytes, Slab** from) {
    *from = nullptr;
    const size_t size = Rounded(bytes);
    if (arena == nullptr || size > (kSlabBytes - kSlabHeader) / kLeastBlocks)
        return aligned_alloc(kAlign, size);
    {
        const std::lock_guard<std::mutex> hold(arena->mutex);
        if (void* block = TakeFromSlabs(arena, size, from)) return block;
    }
    void* memory = aligned_alloc(kSlabBytes, kSlabBytes);
    if (memory == nullptr) return aligned_alloc(kAlign, size);
    madvise(memory, kSlabBytes, MADV_HUGEPAGE);
    auto* slab = new (memory) Slab;
    slab->arena = arena;
    slab->blockBytes = size;
    slab->blocks = (kSlabBytes - kSlabHeader) / size;
    slab->carved = 1;
    slab->inUse = 1;
    arena->references.fetch_add(1, std::memory_order_relaxed);
    {
        const std::lock_guard<std::mutex> hold(arena->mutex);
        slab->next = arena->slabs;
        arena->slabs = slab;
    }
    *from = slab;
    return BlocksOf(slab);
}

void GiveBlock(void* block, Slab* slab) {
    if (slab == nullptr) {
        free(block);
        return;
    }
    TileArena* arena = slab->arena;
    bool release = false;
    {
        const std::lock_guard<std::mutex> hold(arena->mutex);
        auto* freed = static_cast<FreeBlock*>(block);
        freed->next = slab->free;
        slab->free = freed;
        // An empty slab goes, unless it is the last of its size of a cache still in use.
        if (--slab->inUse == 0 && (arena->cacheGone || HasAnother(arena, slab))) {
            Unlink(arena, slab);
            release = true;
        }
    }
    if (release) FreeSlab(slab);
}

void LockTileArena(TileArena* arena) {
    if (arena != nullptr) arena->mutex.lock();
}

void UnlockTileArena(TileArena* arena) {
    if (arena != nullptr) arena->mutex.unlock();
}

}  // namespace tarn
