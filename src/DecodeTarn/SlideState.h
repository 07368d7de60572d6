// What the library keeps beside each handle it opened: the slide's colour table, the path resolved
// at open and the identity of the file it opened. Reads find it by the handle; a handle the library
// did not open has none, and reads on it use its Path and the global table as they always did.
#pragma once

#include <cstdint>

#include "Common/FileAccess.h"
#include "DecodeTarn.h"

namespace tarn {

struct ColorLut;

struct SlideState {
    const ColorLut* lut = nullptr;  // one reference, owned by the state
    uint64_t colorTag = 0;          // the table's tag in the tile cache (ColorTagOf)
    char* path = nullptr;           // absolute, symbolic links resolved; malloc'ed, owned
    FileIdentity identity;          // the file the slide was read from
};

// Records the state of `info`; the registry takes over its table reference and path. False, with
// both still the caller's, when memory runs out.
bool RegisterSlide(const ZyTarnInfo* info, const SlideState& state);

// Forgets `info` and releases its table reference and path.
void UnregisterSlide(const ZyTarnInfo* info);

// The state of a slide the library opened, or null. It stays valid until the slide is closed,
// and never changes meanwhile. Lookups from many threads run side by side.
const SlideState* StateOf(const ZyTarnInfo* info);

// A new reference to the colour table of a slide the library opened, taken while the registry
// is locked, so that it is safe even against the slide's close; null for other handles.
const ColorLut* RetainSlideColorLut(const ZyTarnInfo* info);

}  // namespace tarn
