#include "Sources.h"

#include <algorithm>

#include "Jpeg.h"

namespace tarnexport {
namespace {

// A scaled tile reads its source in bands of about this many bytes, however large its scale.
constexpr size_t kBandBytes = size_t{8} << 20;
// Tiles of pixels a writer holds: far beyond any tiled format's, and within memory.
constexpr int64_t kMaxTilePixels = int64_t{1} << 28;

std::string LibraryWhy(tarn_slide* slide) {
    const char* why = tarn_get_error(slide);
    return why != nullptr ? why : "unknown failure";
}

std::string Describe(const PlanLevel& level, const TileAddress& at) {
    const std::string c = std::to_string(at.column), r = std::to_string(at.row),
                      l = std::to_string(level.level);
    switch (level.source) {
        case PixelSource::ExportTile:
            return "tile " + c + "," + r + " of layer " + l;
        case PixelSource::DeepZoom:
            return "Deep Zoom tile " + l + "/" + c + "_" + r +
                   (level.encoding == TileEncoding::Jpeg ? ".jpeg" : "");
        case PixelSource::StoredLevel:
        case PixelSource::CoarseLevel:
            break;
    }
    std::string name = "tile (" + c + ", " + r + ") of " +
                       (level.source == PixelSource::CoarseLevel ? "coarse level " : "level ") + l;
    if (level.scale > 1) name += " scaled down " + std::to_string(level.scale) + " times";
    return name;
}

bool ReadArea(tarn_slide* slide, const PlanLevel& level, int64_t x, int64_t y, int64_t w, int64_t h,
              uint8_t* dest) {
    return (level.source == PixelSource::CoarseLevel
                ? tarn_read_coarse_region(slide, dest, level.level, x, y, w, h, TARN_FORMAT_RGB)
                : tarn_read_level_region(slide, dest, level.level, x, y, w, h, TARN_FORMAT_RGB)) ==
           0;
}

void SourceSize(tarn_slide* slide, const PlanLevel& level, int64_t* w, int64_t* h) {
    if (level.source == PixelSource::CoarseLevel)
        tarn_get_coarse_level_dimensions(slide, level.level, w, h);
    else
        tarn_get_level_dimensions(slide, level.level, w, h);
}

// Each pixel the mean of the scale x scale source pixels it covers that lie inside the source's
// picture; white where it covers none.
bool ScaledPixels(tarn_slide* slide, const PlanLevel& level, const TileAddress& at,
                  MadeTile* tile) {
    const int64_t s = level.scale, tw = level.tileWidth, th = level.tileHeight;
    int64_t sourceWidth = 0, sourceHeight = 0;
    SourceSize(slide, level, &sourceWidth, &sourceHeight);
    tile->pixels.assign(static_cast<size_t>(tw * th * 3), 0xFF);
    const int64_t x0 = at.column * tw * s, y0 = at.row * th * s;
    const int64_t readWidth = std::min(tw * s, sourceWidth - x0);
    if (readWidth <= 0) return true;
    const int64_t columns = (readWidth + s - 1) / s;
    const int64_t band = std::max<int64_t>(
        1, static_cast<int64_t>(kBandBytes / static_cast<size_t>(readWidth * s * 3)));
    for (int64_t first = 0; first < th; first += band) {
        const int64_t y = y0 + first * s;
        if (y >= sourceHeight) break;
        const int64_t readHeight = std::min(std::min(band, th - first) * s, sourceHeight - y);
        tile->source.resize(static_cast<size_t>(readWidth * readHeight * 3));
        if (!ReadArea(slide, level, x0, y, readWidth, readHeight, tile->source.data()))
            return false;
        const int64_t rows = (readHeight + s - 1) / s;
        for (int64_t r = 0; r < rows; ++r)
            for (int64_t c = 0; c < columns; ++c) {
                const int64_t top = r * s, bottom = std::min(top + s, readHeight);
                const int64_t left = c * s, right = std::min(left + s, readWidth);
                uint32_t sum[3] = {0, 0, 0};
                for (int64_t sy = top; sy < bottom; ++sy) {
                    const uint8_t* p =
                        &tile->source[static_cast<size_t>((sy * readWidth + left) * 3)];
                    for (int64_t sx = left; sx < right; ++sx, p += 3) {
                        sum[0] += p[0];
                        sum[1] += p[1];
                        sum[2] += p[2];
                    }
                }
                const auto n = static_cast<uint32_t>((bottom - top) * (right - left));
                uint8_t* out = &tile->pixels[static_cast<size_t>(((first + r) * tw + c) * 3)];
                for (int i = 0; i < 3; ++i)
                    out[i] = static_cast<uint8_t>((sum[i] + n / 2) / n);
            }
    }
    return true;
}

bool ReadPixels(tarn_slide* slide, const PlanLevel& level, const TileAddress& at, MadeTile* tile) {
    if (level.scale > 1) return ScaledPixels(slide, level, at, tile);
    tile->pixels.resize(static_cast<size_t>(level.tileWidth * level.tileHeight * 3));
    return ReadArea(slide, level, at.column * level.tileWidth, at.row * level.tileHeight,
                    level.tileWidth, level.tileHeight, tile->pixels.data());
}

// The tile's pixels in `tile->pixels` handed out as they are, or encoded.
bool Encode(const PlanLevel& level, MadeTile* tile, std::string* error) {
    if (level.encoding == TileEncoding::Rgb) {
        tile->own.swap(tile->pixels);
        return true;
    }
    return EncodeJpeg(tile->pixels.data(), tile->width, tile->height, level.quality, &tile->own,
                      error, level.encoding == TileEncoding::Jpeg422);
}

}  // namespace

bool MakeTile(const SlideExport& job, const Plan& plan, const TileAddress& at, MadeTile* tile,
              std::string* error) {
    const PlanLevel& level = plan.levels[at.level];
    tile->library.reset();
    tile->librarySize = 0;
    tile->own.clear();
    tile->width = level.tileWidth;
    tile->height = level.tileHeight;
    tile->unreadable = tile->damaged = false;
    uint8_t* bytes = nullptr;
    bool ok = false;
    switch (level.source) {
        case PixelSource::ExportTile:
            ok = tarn_read_export_tile_jpeg(job.slide, level.level, at.column, at.row,
                                            level.tileWidth, level.tileHeight, &bytes,
                                            &tile->librarySize) == 0;
            tile->library.reset(bytes);
            break;
        case PixelSource::DeepZoom: {
            tarn_deepzoom_tile info{};
            ok = tarn_deepzoom_get_tile_info(plan.deepZoom.get(), level.level, at.column, at.row,
                                             &info) == 0;
            tile->width = info.tile_width;
            tile->height = info.tile_height;
            if (ok && level.encoding == TileEncoding::Jpeg) {
                ok = tarn_deepzoom_read_tile_jpeg(plan.deepZoom.get(), level.level, at.column,
                                                  at.row, level.quality, &bytes,
                                                  &tile->librarySize) == 0;
                tile->library.reset(bytes);
            } else if (ok) {
                tile->pixels.resize(static_cast<size_t>(info.tile_width * info.tile_height * 3));
                ok = tarn_deepzoom_read_tile(plan.deepZoom.get(), level.level, at.column, at.row,
                                             tile->pixels.data(), TARN_FORMAT_RGB) == 0;
                if (ok) tile->own.swap(tile->pixels);
            }
            break;
        }
        case PixelSource::StoredLevel:
        case PixelSource::CoarseLevel:
            ok = ReadPixels(job.slide, level, at, tile);
            if (ok && !Encode(level, tile, error)) {
                *error = "cannot encode " + Describe(level, at) + ": " + *error;
                return false;
            }
            break;
    }
    if (ok) return true;
    tile->unreadable = true;
    const std::string verb = level.source == PixelSource::DeepZoom ? "render " : "read ";
    *error = "cannot " + verb + Describe(level, at) + ": " + LibraryWhy(job.slide);
    return false;
}

bool MakeWhiteTile(const Plan& plan, const TileAddress& at, MadeTile* tile, std::string* error) {
    const PlanLevel& level = plan.levels[at.level];
    tile->library.reset();
    tile->librarySize = 0;
    tile->own.clear();
    tile->width = level.tileWidth;
    tile->height = level.tileHeight;
    tile->pixels.assign(static_cast<size_t>(level.tileWidth * level.tileHeight * 3), 0xFF);
    if (!Encode(level, tile, error)) {
        *error = "cannot encode a white " + Describe(level, at) + ": " + *error;
        return false;
    }
    tile->damaged = true;
    return true;
}

bool CheckPlan(const Plan& plan, std::string* error) {
    for (size_t i = 0; i < plan.levels.size(); ++i) {
        const PlanLevel& level = plan.levels[i];
        const std::string which = "plan level " + std::to_string(i);
        if (level.source == PixelSource::DeepZoom) {
            if (plan.deepZoom == nullptr) {
                *error = which + " reads a Deep Zoom view the plan lacks";
                return false;
            }
        } else if (level.tileWidth < 1 || level.tileHeight < 1 ||
                   // The library holds an export tile's pixels; the engine holds the others'.
                   (level.source != PixelSource::ExportTile &&
                    level.tileWidth > kMaxTilePixels / level.tileHeight)) {
            *error = which + " has tiles of " + std::to_string(level.tileWidth) + " x " +
                     std::to_string(level.tileHeight) + " pixels";
            return false;
        }
        if (level.quality < 1 || level.quality > 100) {
            *error = which + " asks for JPEG quality " + std::to_string(level.quality);
            return false;
        }
        if (level.source == PixelSource::ExportTile &&
            (level.encoding != TileEncoding::Jpeg || level.quality != 75 || level.scale != 1)) {
            *error = which + ": export tiles come as JPEG of quality 75 only";
            return false;
        }
        const bool scalable =
            level.source == PixelSource::StoredLevel || level.source == PixelSource::CoarseLevel;
        // The library encodes export and Deep Zoom tiles itself, and their tiles vary in size.
        if (!scalable && (level.encoding == TileEncoding::Jpeg422 || plan.whiteForUnreadable)) {
            *error = which + ": only stored and coarse levels are encoded 4:2:2 or made white";
            return false;
        }
        if (level.scale < 1 || level.scale > kMaxScale || (level.scale & (level.scale - 1)) != 0 ||
            (level.scale > 1 && !scalable)) {
            *error = which + " cannot be scaled down " + std::to_string(level.scale) + " times";
            return false;
        }
    }
    return true;
}

}  // namespace tarnexport
