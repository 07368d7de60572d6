#include "Service/CoarseLevels.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_set>

#include "Common/Geometry.h"
#include "Core/ByteSource.h"
#include "Core/PixelCache.h"
#include "DecodeJpeg/JpegCodec.h"
#include "Service/Reads.h"

namespace tarn {
namespace {

constexpr int64_t kSide = kCoarseTileSide;
constexpr size_t kTileBytes = size_t{kSide} * kSide * 3;
constexpr int kKeptQuality = 92;

int64_t CeilDiv(int64_t a, int64_t b) {
    return (a + b - 1) / b;
}

bool AllWhite(const uint8_t* pixels, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        if (pixels[i] != 0xFF) return false;
    return true;
}

// True when the slide stores a tile (one not empty) in the area [left, right) x [top, bottom) of
// `level`, in its pixels, so that glass is never decoded.
bool StoresAny(const Slide& slide, int32_t level, int64_t left, int64_t top, int64_t right,
               int64_t bottom) {
    const LayerTiles& layer = slide.layout.layers[level];
    const auto tileWidth = static_cast<int64_t>(layer.grid.tileWidth);
    const auto tileHeight = static_cast<int64_t>(layer.grid.tileHeight);
    const int64_t columnEnd =
        std::min(static_cast<int64_t>(layer.grid.columns), CeilDiv(right, tileWidth));
    const int64_t rowEnd =
        std::min(static_cast<int64_t>(layer.grid.rows), CeilDiv(bottom, tileHeight));
    for (int64_t y = top / tileHeight; y < rowEnd; ++y)
        for (int64_t x = left / tileWidth; x < columnEnd; ++x)
            if (!TileAt(layer, static_cast<uint32_t>(x), static_cast<uint32_t>(y)).empty())
                return true;
    return false;
}

// Whether a tile failed for what the slide stores, not for how it was read: its bytes do not
// decode, or lie beyond the end of the slide. Such a tile fails every time.
bool Damaged(const Slide& slide, uint32_t level, uint64_t x, uint64_t y, Status code) {
    if (code == Status::Undecodable) return true;
    if (code != Status::ShortRead) return false;
    const StoredTile tile =
        TileAt(slide.layout.layers[level], static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    const auto size = static_cast<uint64_t>(tile.size);
    return tile.offset > slide.source.size || size > slide.source.size - tile.offset;
}

// The kSide square at (left, top) of `level` read tile by tile, a damaged tile left white (a
// region read fails only where it touches one, so the levels built from the slide do the same)
// and noted in `damaged` (by index), not to be read again. Any other failure is the build's.
// `*white` is true, and `out` untouched, when the square touches only damaged tiles.
Status ReadAroundDamage(const Slide& slide, const ReadContext& read, uint32_t level, int64_t left,
                        int64_t top, uint8_t* out, std::unordered_set<uint64_t>& damaged,
                        bool* white) {
    *white = true;
    const LayerGeometry& grid = slide.layout.layers[level].grid;
    const auto tileWidth = static_cast<int64_t>(grid.tileWidth);
    const auto tileHeight = static_cast<int64_t>(grid.tileHeight);
    const int64_t right = std::min(left + kSide, static_cast<int64_t>(grid.pictureWidth()));
    const int64_t bottom = std::min(top + kSide, static_cast<int64_t>(grid.pictureHeight()));
    for (int64_t row = top / tileHeight; row * tileHeight < bottom; ++row)
        for (int64_t column = left / tileWidth; column * tileWidth < right; ++column) {
            const int64_t x = std::max(left, column * tileWidth);
            const int64_t y = std::max(top, row * tileHeight);
            const int64_t w = std::min(right, (column + 1) * tileWidth) - x;
            const int64_t h = std::min(bottom, (row + 1) * tileHeight) - y;
            uint8_t* at = out + ((y - top) * kSide + (x - left)) * 3;
            const auto index =
                static_cast<uint64_t>(row) * grid.columns + static_cast<uint64_t>(column);
            if (damaged.count(index) != 0) continue;
            if (*white) memset(out, 0xFF, kTileBytes);
            *white = false;
            const Status code =
                ReadPicture(read, level, x, y, w, h, at, kSide * 3, PixelFormat::Bgr);
            if (code == Status::Ok) continue;
            if (!Damaged(slide, level, static_cast<uint64_t>(column), static_cast<uint64_t>(row),
                         code))
                return code;
            damaged.insert(index);
            for (int64_t line = 0; line < h; ++line)
                memset(at + line * kSide * 3, 0xFF, static_cast<size_t>(w) * 3);
        }
    return Status::Ok;
}

// The picture of the slide's coarsest layer.
void CoarsestPicture(const Slide& slide, int64_t* width, int64_t* height) {
    *width = *height = 0;
    if (slide.layout.layerCount == 0) return;
    const LayerGeometry& grid = slide.layout.layers[slide.layout.layerCount - 1].grid;
    *width = static_cast<int64_t>(grid.pictureWidth());
    *height = static_cast<int64_t>(grid.pictureHeight());
}

// The builds of this process, for the fork handlers.
struct LiveBuilds {
    std::mutex lock;
    std::vector<CoarseLevels*> all;
};

LiveBuilds& Live();

}  // namespace

void CoarseLevels::BeforeFork() {
    LiveBuilds& live = Live();
    live.lock.lock();
    for (CoarseLevels* levels : live.all)
        levels->lock_.lock();
}

void CoarseLevels::AfterForkInParent() {
    LiveBuilds& live = Live();
    for (CoarseLevels* levels : live.all)
        levels->lock_.unlock();
    live.lock.unlock();
}

void CoarseLevels::AfterForkInChild() {
    LiveBuilds& live = Live();
    for (CoarseLevels* levels : live.all) {
        if (levels->state_ == State::Running && levels->builder_ != getpid()) {
            // The thread and its read are the parent's: this process builds anew when asked.
            new (&levels->thread_) std::thread;
            levels->state_ = State::Idle;
            levels->done_ = 0;
        }
        // Whoever waited for the build is not in this process.
        new (&levels->over_) std::condition_variable;
        levels->lock_.unlock();
    }
    live.lock.unlock();
}

namespace {

// Never destroyed: slides may close while the process exits.
LiveBuilds& Live() {
    static LiveBuilds* live = new LiveBuilds;
    return *live;
}

}  // namespace

std::shared_ptr<CoarseLevels> CoarseLevels::For(Slide& slide) {
    int64_t width = 0, height = 0;
    CoarsestPicture(slide, &width, &height);
    if (width <= 0 || height <= 0 || width * height <= kDirectPixels) return nullptr;
    const std::lock_guard<std::mutex> hold(slide.coarseLock);
    if (slide.coarseStopped) return nullptr;
    if (slide.coarse == nullptr) slide.coarse.reset(new CoarseLevels(slide));
    return slide.coarse;
}

void CoarseLevels::StopFor(Slide& slide) {
    std::shared_ptr<CoarseLevels> levels;
    {
        const std::lock_guard<std::mutex> hold(slide.coarseLock);
        slide.coarseStopped = true;
        levels = std::move(slide.coarse);
    }
    if (levels == nullptr) return;
    levels->stop_ = true;
    std::thread builder;
    {
        const std::lock_guard<std::mutex> hold(levels->lock_);
        levels->stopped_ = true;
        if (levels->state_ == State::Idle) levels->state_ = State::Over;
        if (levels->builder_ == getpid()) builder = std::move(levels->thread_);
    }
    levels->over_.notify_all();
    if (builder.joinable()) builder.join();
}

CoarseLevels::CoarseLevels(Slide& slide) : slide_(slide) {
    sourceLevel_ = static_cast<int32_t>(slide.layout.layerCount) - 1;
    CoarsestPicture(slide, &source_.width, &source_.height);
    source_.columns = CeilDiv(source_.width, kSide);
    source_.rows = CeilDiv(source_.height, kSide);
    total_ = source_.columns * source_.rows;
    levels_.resize(1);
    CoarseLevel level = source_;
    while (level.width > kSide || level.height > kSide) {
        level.width = CeilDiv(level.width, 2);
        level.height = CeilDiv(level.height, 2);
        level.columns = CeilDiv(level.width, kSide);
        level.rows = CeilDiv(level.height, kSide);
        level.tiles.assign(static_cast<size_t>(level.columns * level.rows), std::string());
        levels_.push_back(level);
    }
    static const bool forkSafe =
        pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
    (void)forkSafe;
    LiveBuilds& live = Live();
    const std::lock_guard<std::mutex> hold(live.lock);
    live.all.push_back(this);
}

CoarseLevels::~CoarseLevels() {
    {
        LiveBuilds& live = Live();
        const std::lock_guard<std::mutex> hold(live.lock);
        live.all.erase(std::find(live.all.begin(), live.all.end(), this));
    }
    stop_ = true;
    if (thread_.joinable()) {
        if (builder_ == getpid())
            thread_.join();
        else  // the build ran in the parent of this forked process: there is no thread to join
            new (&thread_) std::thread;
    }
}

bool CoarseLevels::Wait(int64_t timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    if (state_ == State::Running && builder_ != getpid() && !stopped_) {
        // Forked while the parent built: this process has no builder, so it builds its own.
        new (&thread_) std::thread;
        state_ = State::Idle;
    }
    if (state_ == State::Idle && !stopped_) {
        state_ = State::Running;
        builder_ = getpid();
        done_ = 0;
        thread_ = std::thread([this] { Build(); });
    }
    const auto over = [this] { return state_ == State::Over; };
    if (timeoutMs < 0)
        over_.wait(hold, over);
    else
        over_.wait_for(hold, std::chrono::milliseconds(timeoutMs), over);
    return state_ == State::Over;
}

double CoarseLevels::Progress() const {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (state_ == State::Over) return 1;
    }
    return std::min(0.999, static_cast<double>(done_.load()) / static_cast<double>(total_));
}

int32_t CoarseLevels::LevelFor(double zoom) const {
    for (auto k = static_cast<int32_t>(levels_.size()) - 1; k >= firstKept_; --k)
        if (std::ldexp(1.0, k) <= zoom && levels_[static_cast<size_t>(k)].kept) return k;
    return 0;
}

void CoarseLevels::Build() {
    budget_ = std::max<size_t>(kMinCoarseBudget, PixelCacheStatsOf(DefaultPixelCache()).capacity);
    const auto top = static_cast<int32_t>(levels_.size()) - 1;
    std::vector<uint8_t> tile(kTileBytes);
    bool ok = true;
    for (int64_t row = 0; ok && top > 0 && row < levels_.back().rows; ++row)
        for (int64_t column = 0; ok && column < levels_.back().columns; ++column)
            Produce(top, column, row, tile.data(), &ok);
    if (!ok) {
        // Nothing is kept of a build that could not read the slide (or was stopped): tiles
        // read the slide itself.
        for (CoarseLevel& level : levels_)
            level.kept = false;
        firstKept_ = static_cast<int32_t>(levels_.size());
    }
    {
        const std::lock_guard<std::mutex> hold(lock_);
        state_ = State::Over;
    }
    over_.notify_all();
}

bool CoarseLevels::Produce(int32_t k, int64_t column, int64_t row, uint8_t* out, bool* ok) {
    // The area of the source level the tile covers, and the source tiles it stands for.
    const int64_t span = kSide << k;
    const int64_t left = column * span, top = row * span;
    const int64_t right = std::min(source_.width, left + span);
    const int64_t bottom = std::min(source_.height, top + span);
    const int64_t sourceTiles =
        (CeilDiv(right, kSide) - left / kSide) * (CeilDiv(bottom, kSide) - top / kSide);
    if (stop_) {
        *ok = false;
        return true;
    }
    if (!StoresAny(slide_, sourceLevel_, left, top, right, bottom)) {  // glass: white
        done_ += sourceTiles;
        return true;
    }
    if (k == 0) {
        done_ += 1;
        // One read of the slide, with the deadline of one call for a slide over a network.
        const SourceCall call;
        const SlideReader read(slide_);
        const auto level = static_cast<uint32_t>(sourceLevel_);
        // Once a damaged tile is known, squares are read tile by tile, so that it is not tried
        // again.
        if (damaged_.empty() && ReadPicture(read.context(), level, left, top, kSide, kSide, out,
                                            kSide * 3, PixelFormat::Bgr) == Status::Ok)
            return AllWhite(out, kTileBytes);
        bool white = true;
        if (ReadAroundDamage(slide_, read.context(), level, left, top, out, damaged_, &white) !=
            Status::Ok) {
            *ok = false;
            return true;
        }
        return white || AllWhite(out, kTileBytes);
    }
    const CoarseLevel& finer = k > 1 ? levels_[static_cast<size_t>(k) - 1] : source_;
    // One buffer per depth, made once per build thread: most children of a large slide are white
    // and never touch it.
    thread_local std::vector<std::vector<uint8_t>> buffers;
    if (buffers.size() <= static_cast<size_t>(k)) buffers.resize(static_cast<size_t>(k) + 1);
    std::vector<uint8_t>& child = buffers[static_cast<size_t>(k)];
    child.resize(kTileBytes);
    bool white = true;
    for (int j = 0; j < 2 && *ok; ++j) {
        for (int i = 0; i < 2 && *ok; ++i) {
            const int64_t childColumn = column * 2 + i, childRow = row * 2 + j;
            if (childColumn >= finer.columns || childRow >= finer.rows ||
                Produce(k - 1, childColumn, childRow, child.data(), ok) || !*ok)
                continue;
            if (white) memset(out, 0xFF, kTileBytes);
            white = false;
            // Each pixel the mean of the 2 x 2 below it, of those inside the finer level.
            const int64_t validWidth = std::min(kSide, finer.width - childColumn * kSide);
            const int64_t validHeight = std::min(kSide, finer.height - childRow * kSide);
            for (int64_t y = 0; y < CeilDiv(validHeight, 2); ++y) {
                const int64_t rows = std::min<int64_t>(2, validHeight - 2 * y);
                uint8_t* to = out + ((j * kSide / 2 + y) * kSide + i * kSide / 2) * 3;
                for (int64_t x = 0; x < CeilDiv(validWidth, 2); ++x, to += 3) {
                    const int64_t columns = std::min<int64_t>(2, validWidth - 2 * x);
                    const auto count = static_cast<unsigned>(rows * columns);
                    for (int c = 0; c < 3; ++c) {
                        unsigned sum = 0;
                        for (int64_t dy = 0; dy < rows; ++dy)
                            for (int64_t dx = 0; dx < columns; ++dx)
                                sum += child[static_cast<size_t>(
                                    ((2 * y + dy) * kSide + 2 * x + dx) * 3 + c)];
                        to[c] = static_cast<uint8_t>((sum + count / 2) / count);
                    }
                }
            }
        }
    }
    if (!white && *ok) Keep(k, column, row, out);
    return white;
}

void CoarseLevels::Keep(int32_t k, int64_t column, int64_t row, const uint8_t* pixels) {
    CoarseLevel& level = levels_[static_cast<size_t>(k)];
    if (!level.kept || AllWhite(pixels, kTileBytes)) return;
    unsigned char* jpeg = nullptr;
    const int length = EncodeJpegBgr(pixels, kSide, kSide, kKeptQuality, &jpeg);
    if (length <= 0) return;
    level.tiles[static_cast<size_t>(row * level.columns + column)].assign(
        reinterpret_cast<const char*>(jpeg), static_cast<size_t>(length));
    free(jpeg);
    keptBytes_ += static_cast<size_t>(length);
    // Over the budget: the finest kept level goes, being the largest.
    while (keptBytes_ > budget_ && firstKept_ < static_cast<int32_t>(levels_.size())) {
        CoarseLevel& finest = levels_[static_cast<size_t>(firstKept_++)];
        for (std::string& tile : finest.tiles) {
            keptBytes_ -= tile.size();
            std::string().swap(tile);
        }
        finest.kept = false;
    }
}

bool CoarseLevels::Read(int32_t k, int64_t x, int64_t y, int64_t w, int64_t h, bool redFirst,
                        uint8_t* out) const {
    const CoarseLevel& level = levels_[static_cast<size_t>(k)];
    memset(out, 0xFF, static_cast<size_t>(w * h * 3));
    std::vector<uint8_t> tile(kTileBytes);
    const int64_t left = std::max<int64_t>(x, 0), top = std::max<int64_t>(y, 0);
    const int64_t right = std::min(x + w, level.width), bottom = std::min(y + h, level.height);
    for (int64_t row = top / kSide; top < bottom && row <= (bottom - 1) / kSide; ++row) {
        for (int64_t column = left / kSide; left < right && column <= (right - 1) / kSide;
             ++column) {
            const std::string& jpeg =
                level.tiles[static_cast<size_t>(row * level.columns + column)];
            if (jpeg.empty()) continue;
            if (!DecodeJpegBgr(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), kSide,
                               kSide, PixelRect{0, 0, kSide, kSide}, tile.data(), kSide * 3))
                return false;
            const int64_t x0 = std::max(left, column * kSide);
            const int64_t x1 = std::min(right, (column + 1) * kSide);
            for (int64_t py = std::max(top, row * kSide); py < std::min(bottom, (row + 1) * kSide);
                 ++py) {
                const uint8_t* from =
                    tile.data() + ((py - row * kSide) * kSide + x0 - column * kSide) * 3;
                uint8_t* to = out + ((py - y) * w + (x0 - x)) * 3;
                memcpy(to, from, static_cast<size_t>(x1 - x0) * 3);
            }
        }
    }
    if (redFirst)
        for (int64_t i = 0; i < w * h; ++i)
            std::swap(out[i * 3], out[i * 3 + 2]);
    return true;
}

}  // namespace tarn
