// The slide: one object under both interfaces, owning what the file says (its records, levels and
// tile tables), the colour table built from it, the source of its bytes with that source's
// identity, its associated images and the tile cache its reads go through. The fixed interface's
// ZyTarnInfo and tarn.h's tarn_slide are views over it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Common/Status.h"
#include "ColorCorrect/ColorTables.h"
#include "Core/Associated.h"
#include "Core/ByteSource.h"
#include "Core/OpenFailure.h"
#include "Core/Tiles.h"
#include "Common/FileRecords.h"

namespace tarn {

struct PixelCache;
class CoarseLevels;  // the read service's (Service/CoarseLevels.h)

// The file's records as stored, byte for byte, with where the payloads they announce lie.
struct SlideRecords {
    SlideHead head{};
    bool hasPerson = false;
    PersonRecord person{};
    bool hasExtra = false;
    ExtraRecord extra{};
    uint32_t macroCount = 0;  // label/macrograph records read: 0, or kMacroSlots
    MacroRecord macro[kMacroSlots] = {};
    uint64_t macroData[kMacroSlots] = {};  // where each one's stored bytes start
    PictureRecord thumb{};
    uint64_t thumbData = 0;
    std::vector<PictureRecord> layers;
    std::vector<uint64_t> layerOffsets;  // where each layer record lies
};

// One layer's tile table: `count` sizes as stored and the offsets worked out from them (malloc'ed,
// null for a table of no entries).
struct LayerTable {
    uint64_t* offsets = nullptr;
    uint32_t* sizes = nullptr;
};

struct Slide {
    ByteSource source;
    uint64_t sourceKey = 0;  // the source's identity in tile keys; 0: tiles are not cached
    SlideRecords records;
    std::vector<LayerTable> tables;
    std::vector<LayerTiles> layers;  // over `tables`
    TileLayout layout;               // over `layers`
    const ColorLut* lut = nullptr;   // the slide's colour table, one reference
    uint64_t colorTag = 0;

    // Read and decoded by the first LoadAssociatedImages, never before.
    std::once_flag associatedOnce;
    Status associatedCode = Status::Ok;
    Error associatedWhy;
    AssociatedImage associated[kAssociatedKinds];

    // The tile cache reads go through, with a reference of its own; null: the process's default.
    std::mutex cacheLock;
    PixelCache* cache = nullptr;  // under cacheLock

    // The levels below the coarsest, when the read service builds them for the slide; stopped
    // (StopCoarseLevels) before the slide is closed.
    std::mutex coarseLock;
    std::shared_ptr<CoarseLevels> coarse;  // under coarseLock
    bool coarseStopped = false;            // under coarseLock: closing
};

// Opens the slide file at `path` (see OpenFileSource). Null on failure, with the reason in
// `*failure` (when not null).
Slide* OpenSlide(const char* path, OpenFailure* failure);

// Opens a slide over `source`, which it takes over whatever happens: released on failure, at
// CloseSlide otherwise. The open reads the header and the records and tile tables of every
// layer, reading ahead (the source's readAhead) so that records near each other come in one
// read; it never reads the associated images' bytes. A source that keeps an index
// (ByteSource::keepIndex) has its layer records and tables read from the index kept for its
// identity when there is one (LayerIndex.h), and kept there after a first open.
Slide* OpenSlideFrom(const ByteSource& source, OpenFailure* failure);

// Releases the slide, its source and its table. Null is ignored.
void CloseSlide(Slide* slide);

// Reads and decodes the label, macrograph and thumbnail, once: later calls give the first
// outcome. Status::Ok, or the code of the read that failed (Status::FileChanged, Status::ShortRead,
// Status::NoMemory) with the reason in `*why`. Pixels that do not decode are no failure: the image
// keeps none.
Status LoadAssociatedImages(Slide& slide, Error* why);

// The cache reads of the slide go through now (the slide's own or the default), with a reference
// for the caller to release with ReleasePixelCache; null when there is none.
PixelCache* AcquireSlideCache(Slide& slide);

// The context of one read call on the slide, through `cache`, recording failures in `failure`.
ReadContext ReadContextOf(const Slide& slide, PixelCache* cache, CallFailure* failure);

}  // namespace tarn
