// Deep Zoom views of a slide: geometry getters, tiles as pixels or JPEG, and the DZI descriptor.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "Common/EnumValue.h"
#include "Common/Geometry.h"
#include "Common/Status.h"
#include "DecodeJpeg/JpegCodec.h"
#include "Service/DeepZoomTiles.h"
#include "Service/Reads.h"
#include "TarnApi/PixelLayout.h"
#include "TarnApi/Slide.h"

struct tarn_deepzoom {
    tarn_slide* slide = nullptr;
    tarn::DeepZoomPlan plan;
    std::shared_ptr<tarn::CoarseLevels> coarse;  // null: the slide's levels are enough
};

namespace tarn {
namespace {

// The tile's source area, or false after failing the call.
bool FindTile(SlideCall& call, const DeepZoomPlan& plan, int32_t level, int64_t column, int64_t row,
              DeepZoomTile* tile) {
    if (DeepZoomTileOf(plan, level, column, row, tile)) return true;
    call.Fail("Deep Zoom tile (%lld, %lld) of level %d does not exist",
              static_cast<long long>(column), static_cast<long long>(row), level);
    return false;
}

// Draws the tile of Deep Zoom level `level` into `dest` in `format`; false after failing the call.
bool RenderTile(SlideCall& call, const tarn_deepzoom& view, int32_t level, const DeepZoomTile& tile,
                uint8_t* dest, PixelFormat format) {
    uint64_t count = 0, total = 0;
    if (tile.tileWidth > INT32_MAX || tile.tileHeight > INT32_MAX ||
        !CheckedMultiply(static_cast<uint64_t>(tile.tileWidth),
                         static_cast<uint64_t>(tile.tileHeight), &count) ||
        !CheckedMultiply(count, static_cast<uint64_t>(BytesPerPixel(format)), &total) ||
        total > PTRDIFF_MAX) {
        call.Fail("a Deep Zoom tile of %lld x %lld pixels does not fit in memory",
                  static_cast<long long>(tile.tileWidth), static_cast<long long>(tile.tileHeight));
        return false;
    }
    const SlideReader read(*call.slide().core);
    if (RenderDeepZoomTile(read.context(), view.plan, view.coarse.get(), level, tile, dest,
                           format) == Status::Ok)
        return true;
    call.Fail("%s", read.why());
    return false;
}

// A call on the view's slide; `failure` for a null view.
template <class Result, class Body>
Result OnView(tarn_deepzoom* dz, Result failure, Body&& body) noexcept {
    if (dz == nullptr) return failure;
    return OnSlide(dz->slide, failure, [&](SlideCall& call) { return body(call, dz->plan); });
}

}  // namespace
}  // namespace tarn

using namespace tarn;

tarn_deepzoom* tarn_deepzoom_create(tarn_slide* slide, int32_t tile_size, int32_t overlap,
                                    int limit_bounds) {
    return OnSlide(slide, static_cast<tarn_deepzoom*>(nullptr),
                   [&](SlideCall& call) -> tarn_deepzoom* {
                       if (tile_size < 1 || overlap < 0) {
                           call.Fail(
                               "a Deep Zoom tile size must be at least 1 (not %d) and the "
                               "overlap at least 0 (not %d)",
                               tile_size, overlap);
                           return nullptr;
                       }
                       auto view = std::make_unique<tarn_deepzoom>();
                       view->slide = slide;
                       view->plan = PlanDeepZoom(call.slide().levels, call.slide().bounds,
                                                 tile_size, overlap, limit_bounds != 0);
                       view->coarse = CoarseLevels::For(*slide->core);
                       return view.release();
                   });
}

void tarn_deepzoom_destroy(tarn_deepzoom* dz) {
    delete dz;
}

int32_t tarn_deepzoom_get_level_count(tarn_deepzoom* dz) {
    return OnView(dz, int32_t{-1}, [](SlideCall&, const DeepZoomPlan& plan) {
        return static_cast<int32_t>(plan.levels.size());
    });
}

namespace {

// The level's two numbers picked by `pick`, or -1 for both after failing the call.
template <class Pick>
void LevelPair(tarn_deepzoom* dz, int32_t level, int64_t* first, int64_t* second, Pick&& pick) {
    int64_t a = -1, b = -1;
    OnView(dz, 0, [&](SlideCall& call, const DeepZoomPlan& plan) {
        if (level < 0 || static_cast<size_t>(level) >= plan.levels.size()) {
            call.Fail("Deep Zoom level %d does not exist (the view has %zu)", level,
                      plan.levels.size());
            return 0;
        }
        pick(plan.levels[static_cast<size_t>(level)], &a, &b);
        return 0;
    });
    if (first != nullptr) *first = a;
    if (second != nullptr) *second = b;
}

}  // namespace

void tarn_deepzoom_get_level_tiles(tarn_deepzoom* dz, int32_t level, int64_t* cols, int64_t* rows) {
    LevelPair(dz, level, cols, rows, [](const DeepZoomLevel& l, int64_t* a, int64_t* b) {
        *a = l.columns;
        *b = l.rows;
    });
}

void tarn_deepzoom_get_level_dimensions(tarn_deepzoom* dz, int32_t level, int64_t* w, int64_t* h) {
    LevelPair(dz, level, w, h, [](const DeepZoomLevel& l, int64_t* a, int64_t* b) {
        *a = l.width;
        *b = l.height;
    });
}

int64_t tarn_deepzoom_get_tile_count(tarn_deepzoom* dz) {
    return OnView(dz, int64_t{-1},
                  [](SlideCall&, const DeepZoomPlan& plan) { return plan.tileCount; });
}

int tarn_deepzoom_get_tile_info(tarn_deepzoom* dz, int32_t level, int64_t col, int64_t row,
                                tarn_deepzoom_tile* tile) {
    return OnView(dz, -1, [&](SlideCall& call, const DeepZoomPlan& plan) {
        DeepZoomTile found;
        if (!FindTile(call, plan, level, col, row, &found)) return -1;
        if (tile == nullptr) {
            call.Fail("no tile record given");
            return -1;
        }
        *tile = {found.x,      found.y,         found.level,     found.width,
                 found.height, found.tileWidth, found.tileHeight};
        return 0;
    });
}

int tarn_deepzoom_read_tile(tarn_deepzoom* dz, int32_t level, int64_t col, int64_t row, void* dest,
                            tarn_format format) {
    const int number = EnumValue(format);
    return OnView(dz, -1, [&](SlideCall& call, const DeepZoomPlan& plan) {
        PixelFormat layout{};
        DeepZoomTile tile;
        if (!CallerLayout(call, number, &layout) || !FindTile(call, plan, level, col, row, &tile))
            return -1;
        if (dest == nullptr) {
            call.Fail("no destination buffer");
            return -1;
        }
        return RenderTile(call, *dz, level, tile, static_cast<uint8_t*>(dest), layout) ? 0 : -1;
    });
}

int tarn_deepzoom_read_tile_jpeg(tarn_deepzoom* dz, int32_t level, int64_t col, int64_t row,
                                 int quality, uint8_t** jpeg, size_t* size) {
    return OnView(dz, -1, [&](SlideCall& call, const DeepZoomPlan& plan) {
        DeepZoomTile tile;
        if (!FindTile(call, plan, level, col, row, &tile)) return -1;
        if (quality < 1 || quality > 100) {
            call.Fail("JPEG quality %d is not between 1 and 100", quality);
            return -1;
        }
        if (jpeg == nullptr || size == nullptr) {
            call.Fail("no place for the JPEG given");
            return -1;
        }
        if (tile.tileWidth > kMaxJpegSide || tile.tileHeight > kMaxJpegSide) {
            call.Fail("a tile of %lld x %lld pixels is larger than a JPEG can be",
                      static_cast<long long>(tile.tileWidth),
                      static_cast<long long>(tile.tileHeight));
            return -1;
        }
        const size_t bytes = static_cast<size_t>(tile.tileWidth * tile.tileHeight) * 3;
        const std::unique_ptr<uint8_t, decltype(&free)> pixels(static_cast<uint8_t*>(malloc(bytes)),
                                                               &free);
        if (pixels == nullptr) {
            call.Fail("out of memory");
            return -1;
        }
        if (!RenderTile(call, *dz, level, tile, pixels.get(), PixelFormat::Rgb)) return -1;
        unsigned char* stream = nullptr;
        const int length =
            EncodeJpeg(pixels.get(), static_cast<uint32_t>(tile.tileWidth),
                       static_cast<uint32_t>(tile.tileHeight), quality, JCS_RGB, 3, &stream);
        if (length <= 0) {
            call.Fail("JPEG encoding of the tile failed");
            return -1;
        }
        *jpeg = stream;
        *size = static_cast<size_t>(length);
        return 0;
    });
}

char* tarn_deepzoom_get_dzi(tarn_deepzoom* dz, const char* format) {
    return OnView(
        dz, static_cast<char*>(nullptr), [&](SlideCall& call, const DeepZoomPlan& plan) -> char* {
            if (format == nullptr || (strcmp(format, "jpeg") != 0 && strcmp(format, "png") != 0)) {
                call.Fail("the DZI tile format must be \"jpeg\" or \"png\"");
                return nullptr;
            }
            const DeepZoomLevel& full = plan.levels.back();
            // The text OpenSlide's get_dzi writes, attribute for attribute.
            const char* const pattern =
                "<Image TileSize=\"%lld\" Overlap=\"%lld\" Format=\"%s\" "
                "xmlns=\"http://schemas.microsoft.com/deepzoom/2008\">"
                "<Size Width=\"%lld\" Height=\"%lld\" /></Image>";
            const auto print = [&](char* out, size_t room) {
                return snprintf(out, room, pattern, static_cast<long long>(plan.tileSize),
                                static_cast<long long>(plan.overlap), format,
                                static_cast<long long>(full.width),
                                static_cast<long long>(full.height));
            };
            const int length = print(nullptr, 0);
            auto* text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
            if (length < 0 || text == nullptr) {
                free(text);
                call.Fail("out of memory");
                return nullptr;
            }
            print(text, static_cast<size_t>(length) + 1);
            return text;
        });
}

int tarn_deepzoom_wait_level(tarn_deepzoom* dz, int32_t level, int32_t timeout_ms) {
    return OnView(dz, -1, [&](SlideCall& call, const DeepZoomPlan& plan) {
        if (level < 0 || static_cast<size_t>(level) >= plan.levels.size()) {
            call.Fail("Deep Zoom level %d does not exist (the view has %zu)", level,
                      plan.levels.size());
            return -1;
        }
        if (!WaitsForCoarse(plan, dz->coarse.get(), level)) return 1;
        return dz->coarse->Wait(timeout_ms) ? 1 : 0;
    });
}

double tarn_deepzoom_get_build_progress(tarn_deepzoom* dz) {
    return OnView(dz, -1.0, [&](SlideCall&, const DeepZoomPlan&) {
        return dz->coarse != nullptr ? dz->coarse->Progress() : 1.0;
    });
}
