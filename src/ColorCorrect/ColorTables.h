// Colour-correction tables as the rest of the library uses them.
//
// A table maps every (R, G, B) triple to a corrected triple. It is built once per distinct set of
// correction parameters and shared: every open slide holds a reference to the table of its own
// parameters, a small cache keeps a recently released table so a reopen costs nothing, and the
// exported global `ColorTable` holds a reference of its own for the functions that take no slide.
//
// Besides the exported pointer layout (plane[c][R][G][B]) a table keeps every entry packed in
// one 32-bit word, which is what the decoders read: one load per pixel.
//
// Tables are also shared between processes through a per-user folder of table files, so a table
// is built once per user rather than once per process (about 113 MiB and 50 ms each time):
// - The folder is TARN_CACHE_DIR when that is set (an empty value turns the folder off), else
//   $XDG_CACHE_HOME/tarn, else $HOME/.cache/tarn; missing folders are created 0700. A set-user-ID
//   program ignores these variables and has no folder.
// - TARN_CACHE_DIR_LIMIT caps the bytes the folder's table files take together: a number of
//   bytes, optionally followed by K, M, G or T (powers of 1024); 1 GiB by default. Adding a table
//   evicts this user's least recently used tables until it fits; a table larger than the cap is
//   not written.
// - A table this process builds is written to the folder on a thread of its own (on the caller's
//   thread when the library is kept to one thread), atomically; the process waits for pending
//   writes when it exits. Later opens, in any process, map the file read-only and shared; only
//   the planes' pointer arrays (1.5 MiB) go into private memory, once `ColorTable` shows the
//   table. A released mapping stays for a few minutes (a few tables at most), so reopening a
//   slide maps nothing; it is reused only while the folder still holds that very file.
// - A file is used only when it is a regular file of this user that group and others cannot
//   write, of the exact size, and its header names this format version and these parameters.
//   Anything else is rebuilt in memory and, when the folder allows, replaced.
// - The body of a file is not verified. Every byte value of a row is a colour, and every packed
//   entry gives a colour in its low 24 bits, so a damaged body yields wrong colours, never an
//   unsafe read. Readers of packed entries ignore bits 24-31.
// - Without a usable folder (off, cannot be created, read-only, full) tables are built in memory
//   exactly as before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/PixelFormat.h"
#include "Common/FileRecords.h"

namespace tarn {

// The four correction parameters of a slide's extra-information record.
struct ColorParams {
    float gamma;
    float gains[3];
    float hsvScale[3];
    float matrix[9];  // row-major; row c produces output channel c (red, green, blue)
};

// Identity matrix, unit gains, gamma 1, unit HSV multipliers.
ColorParams NeutralColorParams();

// The parameters of a record; null gives the neutral ones. A gamma that is zero, negative or not
// a number counts as 1.
ColorParams ColorParamsOf(const ExtraRecord* extra);

// A built table. Opaque outside the colour-correction sources.
struct ColorLut;

// A table's pointer view: plane[c][R][G][B] is output channel c (0 red, 1 green, 2 blue) for
// input (R, G, B); every index passes through `range` first. The fixed interface exports this
// layout as its ColorCorrectTable (FixedApi/Colors.cpp proves them the same).
struct PlaneTable {
    unsigned char*** plane[3];
    unsigned char range[256];
};

// The process's published table, which the functions that take no slide use: the fixed
// interface's exported global, defined there. Written only under the registry's lock.
PlaneTable* PublishedTable();
void SetPublishedTable(PlaneTable* table);

// A reference to the table for `params`: shared when one with identical parameters exists or is
// cached, built otherwise. Null only when memory runs out. Thread-safe.
const ColorLut* AcquireColorLut(const ColorParams& params);
void RetainColorLut(const ColorLut* lut);
// Drops a reference. A table nobody references stays mapped a while when it came from the
// folder; one built here is freed at once when the folder holds it, and otherwise stays cached
// until another such table is released.
void ReleaseColorLut(const ColorLut* lut);
// Frees every cached table that nobody references (tests and long-running callers).
void TrimColorLutCache();
// Tables built so far in this process (tests and benchmarks tell a build from a cache hit or a
// table mapped from the folder).
uint64_t ColorLutBuildCount();
// Returns once every table this process built has been written to the folder, or failed to be.
void WaitForColorLutWrites();

// The exported view of a table, as `ColorTable` shows it; null when memory for it runs out.
PlaneTable* ExportedTable(const ColorLut* lut);

// `ColorTable` := the table of `lut`, holding a reference for it; the previous table's global
// reference is dropped. Null empties `ColorTable`, and so does a table whose view finds no
// memory.
void PublishColorTable(const ColorLut* lut);

// How a decoder reaches a table: the packed entries of a managed table, or, for a table that a
// caller built and stored in `ColorTable` by hand, its planes.
struct ColorLookup {
    // Entry (R << 16 | G << 8 | B) = B' | G' << 8 | R' << 16 | (anything) << 24.
    const uint32_t* packed = nullptr;
    const PlaneTable* table = nullptr;

    explicit operator bool() const { return packed != nullptr || table != nullptr; }
};

ColorLookup LookupOf(const ColorLut* lut);

// The corrected triple for (r, g, b), packed as B' | G' << 8 | R' << 16.
inline uint32_t CorrectedBgr(const ColorLookup& lookup, uint8_t r, uint8_t g, uint8_t b) {
    if (lookup.packed != nullptr) {
        const uint32_t index = (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8);
        return lookup.packed[index | b] & 0xFFFFFFu;
    }
    const PlaneTable& t = *lookup.table;
    const uint8_t ri = t.range[r], gi = t.range[g], bi = t.range[b];
    return static_cast<uint32_t>(t.plane[2][ri][gi][bi]) |
           (static_cast<uint32_t>(t.plane[1][ri][gi][bi]) << 8) |
           (static_cast<uint32_t>(t.plane[0][ri][gi][bi]) << 16);
}

// Corrects `count` pixels whose bytes 0, 1, 2 are blue, green, red into `dst` in `format`. The
// source has 3 or 4 bytes per pixel (the fourth is never read). `src` may equal `dst` when both
// have the same pixel size.
void CorrectPixels(const ColorLookup& lookup, const uint8_t* src, int srcChannels, uint8_t* dst,
                   PixelFormat format, size_t count);
// The same with a blue-green-red destination of 3 or 4 bytes per pixel.
void CorrectPixels(const ColorLookup& lookup, const uint8_t* src, int srcChannels, uint8_t* dst,
                   int dstChannels, size_t count);

// The table that `ColorTable` points at, kept alive until the pin is destroyed. Falls back to
// the planes when `ColorTable` was set by the caller rather than by the library.
class PinnedGlobalTable {
  public:
    PinnedGlobalTable();
    ~PinnedGlobalTable();
    PinnedGlobalTable(const PinnedGlobalTable&) = delete;
    PinnedGlobalTable& operator=(const PinnedGlobalTable&) = delete;

    const ColorLookup& lookup() const { return lookup_; }

  private:
    const ColorLut* lut_ = nullptr;
    ColorLookup lookup_;
};

}  // namespace tarn
