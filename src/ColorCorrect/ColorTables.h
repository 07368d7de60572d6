// Colour-correction tables as the rest of the library uses them.
//
// A table maps every (R, G, B) triple to a corrected triple. It is built once per distinct set of
// correction parameters and shared: every open slide holds a reference to the table of its own
// parameters, a small cache keeps recently released tables so a reopen costs nothing, and the
// exported global `ColorTable` holds a reference of its own for the functions that take no slide.
//
// Besides the exported pointer layout (plane[c][R][G][B]) a table keeps every entry packed in
// one 32-bit word, which is what the decoders read: one load per pixel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/PixelFormat.h"
#include "DecodeTarn.h"

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
ColorParams ColorParamsOf(const ZyExtraInfo* extra);

// A built table. Opaque outside the colour-correction sources.
struct ColorLut;

// A reference to the table for `params`: shared when one with identical parameters exists or is
// cached, built otherwise. Null only when memory runs out. Thread-safe.
const ColorLut* AcquireColorLut(const ColorParams& params);
void RetainColorLut(const ColorLut* lut);
// Drops a reference; a table nobody references stays cached for a while before it is freed.
void ReleaseColorLut(const ColorLut* lut);
// Frees every cached table that nobody references (tests and long-running callers).
void TrimColorLutCache();
// Tables built so far in this process (tests and benchmarks tell a build from a cache hit).
uint64_t ColorLutBuildCount();

// The exported view of a table, as `ColorTable` shows it.
ColorCorrectTable* ExportedTable(const ColorLut* lut);

// `ColorTable` := the table of `lut`, holding a reference for it; the previous table's global
// reference is dropped. Null empties `ColorTable`.
void PublishColorTable(const ColorLut* lut);

// How a decoder reaches a table: the packed entries of a managed table, or, for a table that a
// caller built and stored in `ColorTable` by hand, its planes.
struct ColorLookup {
    const uint32_t* packed = nullptr;  // entry (R << 16 | G << 8 | B) = B' | G' << 8 | R' << 16
    const ColorCorrectTable* table = nullptr;

    explicit operator bool() const { return packed != nullptr || table != nullptr; }
};

ColorLookup LookupOf(const ColorLut* lut);

// The corrected triple for (r, g, b), packed as B' | G' << 8 | R' << 16.
inline uint32_t CorrectedBgr(const ColorLookup& lookup, uint8_t r, uint8_t g, uint8_t b) {
    if (lookup.packed != nullptr) {
        const uint32_t index = (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8);
        return lookup.packed[index | b];
    }
    const ColorCorrectTable& t = *lookup.table;
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
