#include "Service/Patches.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "Service/Reads.h"
#include "util/Threads.h"

namespace tarn {
namespace {

// As in region reads: far outside the picture only the side matters.
constexpr int64_t kFar = int64_t{1} << 62;

}  // namespace

// Where a patch lies: the part inside the picture, and the tiles that part touches.
struct PatchReader::Span {
    Area inside;                 // in the patch's own pixels; empty: no picture
    uint64_t left = 0, top = 0;  // the inside part's corner, in pixels of the level
    uint64_t firstCol = 0, lastCol = 0, firstRow = 0, lastRow = 0;
    bool direct = false;  // too many tiles: read as a region of its own
    bool none() const { return inside.width == 0; }
};

// A decoded tile, from the first patch that needs it to the last.
struct PatchReader::Tile {
    int64_t lastUse = -1;               // position in order_ of the last patch needing it
    int64_t uses = 0;                   // patches of the run that need it
    std::unique_ptr<uint8_t[]> pixels;  // null when white, failed or not decoded
    Status status = Status::Ok;
    bool ready = false;    // decoded (or found empty, or failed)
    bool white = false;    // the file stores no tile here
    bool planned = false;  // to be decoded for the window being read
};

PatchReader::PatchReader(const LayerGeometry& grid, const PatchShape& shape,
                         std::vector<int64_t> positions, int64_t batchSize, size_t tileBytes)
    : grid_(grid),
      shape_(shape),
      positions_(std::move(positions)),
      batchSize_(std::max<int64_t>(batchSize, 1)) {
    const auto bpp = static_cast<size_t>(BytesPerPixel(shape_.format));
    patchBytes_ = static_cast<size_t>(shape_.width) * static_cast<size_t>(shape_.height) * bpp;
    tileBytes_ = static_cast<size_t>(grid_.tileWidth * grid_.tileHeight) * bpp;
    maxTiles_ = std::max<size_t>(tileBytes / std::max<size_t>(tileBytes_, 1), 8);
    const int64_t total = count();
    order_.resize(static_cast<size_t>(total));
    for (int64_t first = 0; first < total; first += batchSize_) {
        const int64_t end = std::min(total, first + batchSize_);
        std::vector<std::pair<uint64_t, int64_t>> keyed;
        keyed.reserve(static_cast<size_t>(end - first));
        for (int64_t patch = first; patch < end; ++patch) {
            const Span span = SpanOf(patch);
            const uint64_t key =
                span.none() || span.direct ? 0 : 1 + span.firstCol + grid_.columns * span.firstRow;
            keyed.emplace_back(key, patch);
        }
        std::sort(keyed.begin(), keyed.end());
        for (int64_t k = first; k < end; ++k)
            order_[static_cast<size_t>(k)] = keyed[static_cast<size_t>(k - first)].second;
    }
    for (int64_t position = 0; position < total; ++position) {
        const Span span = SpanOf(order_[static_cast<size_t>(position)]);
        if (span.none() || span.direct) continue;
        for (uint64_t row = span.firstRow; row <= span.lastRow; ++row)
            for (uint64_t col = span.firstCol; col <= span.lastCol; ++col) {
                Tile& tile = tiles_[col + grid_.columns * row];
                tile.lastUse = position;
                ++tile.uses;
            }
    }
    // A patch that shares none of its tiles is read as a region: its tiles decoded straight
    // into it, only the part it shows, without passing through a decoded tile.
    solo_.assign(static_cast<size_t>(total), false);
    for (int64_t patch = 0; patch < total; ++patch) {
        const Span span = SpanOf(patch);
        if (span.none() || span.direct) continue;
        bool alone = true;
        for (uint64_t row = span.firstRow; row <= span.lastRow && alone; ++row)
            for (uint64_t col = span.firstCol; col <= span.lastCol && alone; ++col)
                alone = tiles_[col + grid_.columns * row].uses == 1;
        if (!alone) continue;
        solo_[static_cast<size_t>(patch)] = true;
        for (uint64_t row = span.firstRow; row <= span.lastRow; ++row)
            for (uint64_t col = span.firstCol; col <= span.lastCol; ++col)
                tiles_.erase(col + grid_.columns * row);
    }
}

PatchReader::~PatchReader() = default;

PatchReader::Span PatchReader::SpanOf(int64_t patch) const {
    Span span;
    const int64_t x = std::clamp(positions_[static_cast<size_t>(2 * patch)], -kFar, kFar);
    const int64_t y = std::clamp(positions_[static_cast<size_t>(2 * patch + 1)], -kFar, kFar);
    const int64_t left = std::max<int64_t>(x, 0), top = std::max<int64_t>(y, 0);
    const int64_t right = std::min(x + shape_.width, static_cast<int64_t>(grid_.pictureWidth()));
    const int64_t bottom = std::min(y + shape_.height, static_cast<int64_t>(grid_.pictureHeight()));
    if (left >= right || top >= bottom) return span;
    span.inside = {static_cast<uint64_t>(left - x), static_cast<uint64_t>(top - y),
                   static_cast<uint64_t>(right - left), static_cast<uint64_t>(bottom - top)};
    span.left = static_cast<uint64_t>(left);
    span.top = static_cast<uint64_t>(top);
    span.firstCol = span.left / grid_.tileWidth;
    span.lastCol = static_cast<uint64_t>(right - 1) / grid_.tileWidth;
    span.firstRow = span.top / grid_.tileHeight;
    span.lastRow = static_cast<uint64_t>(bottom - 1) / grid_.tileHeight;
    const uint64_t tiles = (span.lastCol - span.firstCol + 1) * (span.lastRow - span.firstRow + 1);
    span.direct = tiles > maxTiles_ / 2;
    return span;
}

void PatchReader::Release(std::unique_ptr<uint8_t[]> pixels) {
    if (pixels == nullptr) return;
    --held_;
    spare_.push_back(std::move(pixels));
    // Spare buffers are kept only to spare fresh pages to the next tiles: a few windows' worth.
    if (spare_.size() > maxTiles_) spare_.pop_back();
}

// Drops decoded tiles the span does not need, those needed last first, until the span's tiles fit
// within `room` beside the ones held.
void PatchReader::MakeRoom(const Span& needed, size_t room) {
    const auto inSpan = [&](uint64_t key) {
        const uint64_t col = key % grid_.columns, row = key / grid_.columns;
        return col >= needed.firstCol && col <= needed.lastCol && row >= needed.firstRow &&
               row <= needed.lastRow;
    };
    const size_t spanTiles = static_cast<size_t>((needed.lastCol - needed.firstCol + 1) *
                                                 (needed.lastRow - needed.firstRow + 1));
    while (held_ + spanTiles > room) {
        Tile* latest = nullptr;
        for (auto& [key, tile] : tiles_)
            if (tile.pixels != nullptr && !inSpan(key) &&
                (latest == nullptr || tile.lastUse > latest->lastUse))
                latest = &tile;
        if (latest == nullptr) return;
        latest->ready = false;
        Release(std::move(latest->pixels));
    }
}

Status PatchReader::Compose(const ReadContext& read, int64_t patch, uint8_t* dst) const {
    const auto bpp = static_cast<uint64_t>(BytesPerPixel(shape_.format));
    const size_t stride = static_cast<size_t>(shape_.width) * bpp;
    const Span span = SpanOf(patch);
    if (span.direct || solo_[static_cast<size_t>(patch)])
        return ReadArea(read, shape_.level, positions_[static_cast<size_t>(2 * patch)],
                        positions_[static_cast<size_t>(2 * patch + 1)], shape_.width, shape_.height,
                        Extent::Picture, dst, stride, shape_.format);
    FillBeyond(dst, stride, static_cast<uint64_t>(shape_.width),
               static_cast<uint64_t>(shape_.height), span.inside, Extent::Picture, shape_.format);
    if (span.none()) return Status::Ok;
    const uint64_t right = span.left + span.inside.width, bottom = span.top + span.inside.height;
    const size_t tileStride = static_cast<size_t>(grid_.tileWidth * bpp);
    uint8_t* origin = dst + span.inside.top * stride + span.inside.left * bpp;
    for (uint64_t row = span.firstRow; row <= span.lastRow; ++row) {
        const uint64_t top = std::max(span.top, row * grid_.tileHeight);
        const uint64_t end = std::min(bottom, (row + 1) * grid_.tileHeight);
        for (uint64_t col = span.firstCol; col <= span.lastCol; ++col) {
            const Tile& tile = tiles_.at(col + grid_.columns * row);
            if (tile.status != Status::Ok) return tile.status;
            const uint64_t left = std::max(span.left, col * grid_.tileWidth);
            const uint64_t stop = std::min(right, (col + 1) * grid_.tileWidth);
            uint8_t* at = origin + (top - span.top) * stride + (left - span.left) * bpp;
            if (tile.white) {
                FillWhite(at, stride, static_cast<uint32_t>(stop - left),
                          static_cast<uint32_t>(end - top), shape_.format);
                continue;
            }
            const uint8_t* from = tile.pixels.get() + (top - row * grid_.tileHeight) * tileStride +
                                  (left - col * grid_.tileWidth) * bpp;
            const size_t bytes = static_cast<size_t>((stop - left) * bpp);
            for (uint64_t line = top; line < end; ++line, at += stride, from += tileStride)
                memcpy(at, from, bytes);
        }
    }
    return Status::Ok;
}

int64_t PatchReader::ReadBatch(const ReadContext& read, int64_t first, int64_t n, uint8_t* dest,
                               int* status, int threads) {
    const int64_t end = std::min(first + n, count());
    const LayerTiles& layer = read.layer(shape_.level);
    const PixelRect whole{0, 0, static_cast<uint32_t>(grid_.tileWidth),
                          static_cast<uint32_t>(grid_.tileHeight)};
    const size_t tileStride =
        static_cast<size_t>(grid_.tileWidth) * static_cast<size_t>(BytesPerPixel(shape_.format));
    int64_t failed = 0;
    int64_t position = first;
    while (position < end) {
        // A window: the patches from `position` on whose tiles fit beside those held.
        const Span opening = SpanOf(order_[static_cast<size_t>(position)]);
        if (!opening.direct && !opening.none() &&
            !solo_[static_cast<size_t>(order_[static_cast<size_t>(position)])])
            MakeRoom(opening, maxTiles_);
        std::vector<std::pair<uint64_t, Tile*>> planned;
        int64_t stop = position;
        while (stop < end) {
            const int64_t patch = order_[static_cast<size_t>(stop)];
            const Span span = SpanOf(patch);
            if (span.direct && stop > position) break;
            size_t missing = 0;
            std::vector<std::pair<uint64_t, Tile*>> wanted;
            if (!span.direct && !span.none() && !solo_[static_cast<size_t>(patch)])
                for (uint64_t row = span.firstRow; row <= span.lastRow; ++row)
                    for (uint64_t col = span.firstCol; col <= span.lastCol; ++col) {
                        const uint64_t key = col + grid_.columns * row;
                        Tile& tile = tiles_.at(key);
                        if (!tile.ready && !tile.planned) {
                            ++missing;
                            wanted.emplace_back(key, &tile);
                        }
                    }
            if (stop > position && held_ + planned.size() + missing > maxTiles_) break;
            for (auto& entry : wanted) {
                entry.second->planned = true;
                planned.push_back(entry);
            }
            ++stop;
            if (span.direct) break;
        }
        // A source that fetches ahead (a URL's) is told the window's tiles at once.
        if (read.source->prefetch != nullptr && !planned.empty()) {
            uint64_t firstCol = UINT64_MAX, lastCol = 0, firstRow = UINT64_MAX, lastRow = 0;
            for (const auto& entry : planned) {
                const uint64_t col = entry.first % grid_.columns, row = entry.first / grid_.columns;
                firstCol = std::min(firstCol, col);
                lastCol = std::max(lastCol, col);
                firstRow = std::min(firstRow, row);
                lastRow = std::max(lastRow, row);
            }
            HintTiles(read, shape_.level, static_cast<uint32_t>(firstCol),
                      static_cast<uint32_t>(lastCol), static_cast<uint32_t>(firstRow),
                      static_cast<uint32_t>(lastRow));
        }
        // Buffers are handed out before the workers start, which only decode.
        for (auto& [key, tile] : planned) {
            const StoredTile stored = TileAt(layer, static_cast<uint32_t>(key % grid_.columns),
                                             static_cast<uint32_t>(key / grid_.columns));
            tile->white = stored.empty();
            if (tile->white) continue;
            if (spare_.empty()) {
                tile->pixels.reset(new uint8_t[tileBytes_]);
            } else {
                tile->pixels = std::move(spare_.back());
                spare_.pop_back();
            }
            ++held_;
        }
        ParallelFor(static_cast<int64_t>(planned.size()), threads, [&](int64_t index) {
            auto& [key, tile] = planned[static_cast<size_t>(index)];
            if (!tile->white)
                tile->status =
                    DrawTile(read, shape_.level, static_cast<uint32_t>(key % grid_.columns),
                             static_cast<uint32_t>(key / grid_.columns), whole, tile->pixels.get(),
                             tileStride, shape_.format);
        });
        for (auto& entry : planned) {
            Tile& tile = *entry.second;
            tile.planned = false;
            tile.ready = true;
            if (tile.status != Status::Ok) Release(std::move(tile.pixels));
        }
        std::vector<Status> outcomes(static_cast<size_t>(stop - position), Status::Ok);
        ParallelFor(stop - position, threads, [&](int64_t index) {
            const int64_t patch = order_[static_cast<size_t>(position + index)];
            outcomes[static_cast<size_t>(index)] =
                Compose(read, patch, dest + static_cast<size_t>(patch - first) * patchBytes_);
        });
        for (int64_t k = position; k < stop; ++k) {
            const int64_t patch = order_[static_cast<size_t>(k)];
            const bool ok = outcomes[static_cast<size_t>(k - position)] == Status::Ok;
            status[patch - first] = ok ? 0 : -1;
            if (!ok) ++failed;
            // Tiles whose last patch this was are done with.
            const Span span = SpanOf(patch);
            if (span.direct || span.none() || solo_[static_cast<size_t>(patch)]) continue;
            for (uint64_t row = span.firstRow; row <= span.lastRow; ++row)
                for (uint64_t col = span.firstCol; col <= span.lastCol; ++col) {
                    const auto found = tiles_.find(col + grid_.columns * row);
                    if (found == tiles_.end() || found->second.lastUse >= stop) continue;
                    Release(std::move(found->second.pixels));
                    tiles_.erase(found);
                }
        }
        position = stop;
    }
    return failed;
}

}  // namespace tarn
