// What a built colour table holds, shared by the builder, the registry, the table folder and the
// exported table functions. Nothing outside src/ColorCorrect includes this (tests and benchmarks
// aside).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "ColorCorrect/ColorTables.h"

namespace tarn {

inline constexpr size_t kLutEntries = size_t{1} << 24;
// The red, green and blue output rows of one (R, G) lie side by side.
inline constexpr size_t kRowTripleBytes = 3 * 256;
inline constexpr size_t kPackedBytes = kLutEntries * sizeof(uint32_t);
inline constexpr size_t kRowBytes = 256 * 256 * kRowTripleBytes;
// The body of a table: the packed entries, then the rows, with no gap. It holds no address, so
// it is what a table file stores.
inline constexpr size_t kLutBodyBytes = kPackedBytes + kRowBytes;
// The planes' pointer arrays: 3 x 256 x 256 green arrays' entries, then the 3 x 256 top arrays.
inline constexpr size_t kSecondLevelCount = 3 * 256 * 256;
inline constexpr size_t kTopLevelCount = 3 * 256;
inline constexpr size_t kPointerArrayBytes =
    (kSecondLevelCount + kTopLevelCount) * sizeof(unsigned char*);

struct ColorLut {
    ColorParams params{};
    // The exported view: plane[c][R][G] points at rows + (R * 256 + G) * 768 + c * 256. A table
    // mapped from the folder links it only when `ColorTable` is first to show it (the fixed
    // interface); the library's own reads use the packed entries.
    PlaneTable table{};
    bool viewLinked = false;
    uint32_t* packed = nullptr;  // entry (R << 16 | G << 8 | B) = B' | G' << 8 | R' << 16
    uint8_t* rows = nullptr;
    unsigned char** secondLevel = nullptr;  // green arrays of plane c, red r at (c * 256 + r) * 256
    // A built table: one private mapping holds the body and the pointer arrays. A table from the
    // folder: `mapping` is the file, mapped shared and read-only, and the pointer arrays (which
    // hold addresses of this process) have a private mapping of their own.
    void* mapping = nullptr;
    size_t mappingSize = 0;
    void* pointerMapping = nullptr;
    size_t pointerMappingSize = 0;
    bool fromFile = false;
    // A table from the folder: its file, to tell at a later reuse that the folder still holds
    // this very file (the mapping keeps the inode alive, so its number is not reused meanwhile).
    char* filePath = nullptr;
    dev_t fileDevice = 0;
    ino_t fileInode = 0;
    uint64_t markedAt = 0;  // seconds (monotonic) when the file was last marked as just used

    // Registry bookkeeping, guarded by the registry's mutex.
    ColorLut* next = nullptr;
    int refs = 0;
    bool ready = false;            // false while the building thread fills it
    uint64_t releasedAt = 0;       // when the last reference went, for the cache's eviction order
    uint64_t releasedSeconds = 0;  // the same in seconds (monotonic), for keeping it a while
    bool writing = false;          // a write into the table folder holds a reference
    bool inFolder = false;         // the folder has this table, so dropping it costs only a remap
};

// Which compiled form of the builder fills the table: the best the processor runs, or the
// x86-64 baseline (tests compare the two).
enum class LutCode { Best, Baseline };

// Allocates and fills the table for `params` on ThreadBudget() threads. Null when memory runs
// out (nothing stays allocated then). Registry fields are left at their defaults.
ColorLut* BuildColorLut(const ColorParams& params, LutCode code = LutCode::Best);
void FreeColorLut(ColorLut* lut);

// Maps private storage for a whole table (body and pointer arrays) and points its planes' top
// arrays into it; false when memory runs out.
bool MapLutStorage(ColorLut* lut);
// Links the exported view of a table whose body lies elsewhere (mapped from the folder): maps
// private storage for its pointer arrays and fills them, once. False when memory runs out.
bool LinkExportedView(ColorLut* lut);
// Points the planes of red value `r` at their rows.
void LinkPlanes(ColorLut* lut, int r);

// For DisposeColorCorrectTable: when `table` is a library table, drops the reference that
// `ColorTable` holds for it (if it holds one) and returns true. In every case `ColorTable` is
// emptied when it pointed at `table`.
bool DropGlobalReferenceTo(PlaneTable* table);

}  // namespace tarn
