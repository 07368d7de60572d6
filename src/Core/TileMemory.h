// Memory for the tile cache's entries. Filling fresh memory costs a page fault per 4 KiB, which a
// virtual machine makes dear (a kept 256 x 256 tile costs about as much in faults as its decode).
// So entries come from 2 MiB slabs asked for as huge pages, cut into blocks of one size: one
// fault per slab where the system gives huge pages. A block given back is reused for the next
// entry of its size; a slab is returned once none of its blocks is in use, but for one per size
// kept for the next entries.
#pragma once

#include <cstddef>

namespace tarn {

struct TileArena;
struct Slab;

// A new arena with the cache's reference; null when memory runs out.
TileArena* CreateTileArena();
// Drops the cache's reference: slabs go once their blocks are given back.
void ReleaseTileArena(TileArena* arena);

// A block of `bytes` (64-byte aligned) and, in `*from`, where it came from: a slab of the arena,
// or null for a block of malloc (sizes few of which fit a slab, a null arena). Null when memory
// runs out. Thread-safe.
void* TakeBlock(TileArena* arena, size_t bytes, Slab** from);

// Gives a block back to where it came from. Thread-safe.
void GiveBlock(void* block, Slab* slab);

// The arena's lock, held around a fork (null is ignored).
void LockTileArena(TileArena* arena);
void UnlockTileArena(TileArena* arena);

}  // namespace tarn
