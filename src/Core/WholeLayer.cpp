// A whole layer decoded into one buffer, tile rows spread over the processors.
#include "Core/WholeLayer.h"

#include <atomic>
#include <climits>
#include <cstdlib>

#include "Common/Buffers.h"
#include "Common/Status.h"
#include "Common/ThreadCap.h"

namespace tarn {
namespace {

// What the threads found, beyond the pixels.
struct LayerOutcome {
    std::atomic<int64_t> stored{0};  // tiles the file holds
    std::atomic<int64_t> drawn{0};   // of those, tiles read and decoded
    std::atomic<bool> fileChanged{false};
    std::atomic<bool> noMemory{false};

    // A layer whose file is gone, or of whose stored tiles not one could be read, must not look
    // like a blank slide; single tiles that fail are white.
    bool failed() const { return fileChanged || noMemory || (stored > 0 && drawn == 0); }
};

}  // namespace

Status DecodeWholeLayer(const ReadContext& read, uint32_t layer, int threads, unsigned char** data,
                        int* width, int* height) {
    const LayerGeometry& grid = read.layer(layer).grid;
    uint64_t stride = 0, bytes = 0;
    if (grid.gridWidth() > INT_MAX || grid.gridHeight() > INT_MAX ||
        !CheckedMultiply(grid.gridWidth(), 3, &stride) ||
        !CheckedMultiply(stride, grid.gridHeight(), &bytes)) {
        if (read.failure != nullptr)
            read.failure->Record(Status::Undecodable, "level %u is too large to decode whole",
                                 layer);
        return Status::Undecodable;
    }
    if (Error why; CheckSource(*read.source, &why) != Status::Ok) {
        if (read.failure != nullptr) read.failure->Record(Status::Undecodable, "%s", why.text);
        return Status::Undecodable;
    }

    // A grid without tiles has no pixels, and its rows need no visit.
    const bool empty = bytes == 0;
    auto* pixels = empty ? nullptr : static_cast<unsigned char*>(AllocatePixels(bytes));
    if (pixels == nullptr && !empty) {
        if (read.failure != nullptr) read.failure->Record(Status::Undecodable, "out of memory");
        return Status::Undecodable;
    }
    if (!empty)
        HintTiles(read, layer, 0, static_cast<uint32_t>(grid.columns - 1), 0,
                  static_cast<uint32_t>(grid.rows - 1));

    const PixelRect whole{0, 0, static_cast<uint32_t>(grid.tileWidth),
                          static_cast<uint32_t>(grid.tileHeight)};
    const uint64_t tileStride = grid.tileWidth * 3, tileRowBytes = stride * grid.tileHeight;
    LayerOutcome outcome;
    // Threads take tile rows one at a time as they come free: tissue decodes slower than bare
    // glass, so fixed bands would leave a core idle. Each row's output rows belong to the thread
    // that took it, and where a row lands never depends on who took it.
    ParallelFor(empty ? 0 : static_cast<int64_t>(grid.rows), threads, [&](int64_t row) {
        const auto y = static_cast<uint32_t>(row);
        for (uint32_t x = 0; x < grid.columns; ++x) {
            uint8_t* at = pixels + static_cast<size_t>(row) * tileRowBytes + x * tileStride;
            if (!TileAt(read.layer(layer), x, y).empty()) {
                ++outcome.stored;
                const Status code = DrawTile(read, layer, x, y, whole, at, stride);
                if (code == Status::Ok) {
                    ++outcome.drawn;
                    continue;
                }
                if (code == Status::FileChanged) outcome.fileChanged = true;
                if (code == Status::NoMemory) outcome.noMemory = true;
            }
            FillWhite(at, stride, whole.width, whole.height);
        }
    });
    if (outcome.failed()) {
        free(pixels);
        if (read.failure != nullptr)
            read.failure->Record(Status::Undecodable, "not one tile of level %u could be read",
                                 layer);
        return Status::Undecodable;
    }

    *width = static_cast<int>(grid.gridWidth());
    *height = static_cast<int>(grid.gridHeight());
    *data = pixels;
    return Status::Ok;
}

}  // namespace tarn
