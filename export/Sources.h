// One tile of a plan made from its source: read (and scaled) through tarn.h, then encoded, or
// encoded by the library where it makes the bytes itself (export and Deep Zoom tiles).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Format.h"
#include "Plan.h"

namespace tarnexport {

struct LibraryFree {
    void operator()(uint8_t* buffer) const { tarn_free(buffer); }
};

// A made tile's bytes, whoever allocated them, and buffers a thread reuses from tile to tile.
struct MadeTile {
    int64_t width = 0;
    int64_t height = 0;
    bool unreadable = false;  // MakeTile failed reading the source (not encoding)
    bool damaged = false;     // made white by MakeWhiteTile
    std::unique_ptr<uint8_t, LibraryFree> library;  // a JPEG the library encoded
    size_t librarySize = 0;
    std::vector<uint8_t> own;     // pixels, or a JPEG encoded here
    std::vector<uint8_t> pixels;  // scratch: the pixels read before encoding
    std::vector<uint8_t> source;  // scratch: the larger area a scaled tile is made from

    const uint8_t* data() const { return library ? library.get() : own.data(); }
    size_t size() const { return library ? librarySize : own.size(); }
};

// Makes tile `at` of the plan into `tile`. False with a message naming the tile.
bool MakeTile(const SlideExport& job, const Plan& plan, const TileAddress& at, MadeTile* tile,
              std::string* error);

// Makes tile `at` white in its level's encoding, for a tile that cannot be read
// (Plan::whiteForUnreadable). False with a message.
bool MakeWhiteTile(const Plan& plan, const TileAddress& at, MadeTile* tile, std::string* error);

// Checks that the plan's levels can be made (sources, encodings, sizes) before any is.
bool CheckPlan(const Plan& plan, std::string* error);

}  // namespace tarnexport
