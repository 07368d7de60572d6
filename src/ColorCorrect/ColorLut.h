// What a built colour table holds, shared by the builder, the registry and the exported table
// functions. Nothing outside src/ColorCorrect includes this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorTables.h"

namespace tarn {

inline constexpr size_t kLutEntries = size_t{1} << 24;
// The red, green and blue output rows of one (R, G) lie side by side.
inline constexpr size_t kRowTripleBytes = 3 * 256;

struct ColorLut {
    ColorParams params{};
    // The exported view: plane[c][R][G] points at rows + (R * 256 + G) * 768 + c * 256.
    ColorCorrectTable table{};
    uint32_t* packed = nullptr;  // entry (R << 16 | G << 8 | B) = B' | G' << 8 | R' << 16
    uint8_t* rows = nullptr;
    void* mapping = nullptr;  // one mapping holds the packed entries, the rows and the pointers
    size_t mappingSize = 0;

    // Registry bookkeeping, guarded by the registry's mutex.
    ColorLut* next = nullptr;
    int refs = 0;
    bool ready = false;       // false while the building thread fills it
    uint64_t releasedAt = 0;  // when the last reference went, for the cache's eviction order
};

// Which compiled form of the builder fills the table: the best the processor runs, or the
// x86-64 baseline (tests compare the two).
enum class LutCode { Best, Baseline };

// Allocates and fills the table for `params` on all processors. Null when memory runs out
// (nothing stays allocated then). Registry fields are left at their defaults.
ColorLut* BuildColorLut(const ColorParams& params, LutCode code = LutCode::Best);
void FreeColorLut(ColorLut* lut);

// Maps the storage of `lut` and points its planes' top arrays into it; false when memory runs
// out. LinkPlanes then points the planes of red value `r` at their rows.
bool MapLutStorage(ColorLut* lut);
void LinkPlanes(ColorLut* lut, int r);

// For DisposeColorCorrectTable: when `table` is a library table, drops the reference that
// `ColorTable` holds for it (if it holds one) and returns true. In every case `ColorTable` is
// emptied when it pointed at `table`.
bool DropGlobalReferenceTo(ColorCorrectTable* table);

}  // namespace tarn
