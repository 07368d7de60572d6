// Deep Zoom: /deepzoom/<slide>.dzi and /deepzoom/<slide>_files/<level>/<column>_<row>.jpeg, the
// library's Deep Zoom view of each slide, its tiles encoded once and kept in the encoded cache.
#include <climits>
#include <cstdio>

#include "routes/RouteTable.h"
#include "routes/SlideAccess.h"

namespace tarncli::serve {

namespace {

http::Answer Descriptor(Server& server, const http::Call& call) {
    const auto slide = LookSlide(server, call.captures[0]);
    if (slide == nullptr) return http::NotFound();
    return http::Content(slide->descriptor, "application/xml", http::Caching::SlideData);
}

http::Answer TileAnswer(http::EncodedPtr tile) {
    return http::Content(std::move(tile), "image/jpeg", http::Caching::SlideData);
}

struct TileAt {
    int32_t level;
    int64_t column, row;
};

EncodedKey KeyOf(const ServedSlide& slide, const TileAt& at) {
    return EncodedKey{slide.id,
                      "dz " + std::to_string(at.level) + "/" + std::to_string(at.column) + "_" +
                          std::to_string(at.row),
                      "jpeg"};
}

// Whether the slide's view has the tile.
bool HasTile(const ServedSlide& slide, const TileAt& at) {
    int64_t columns = -1, rows = -1;
    tarn_deepzoom_get_level_tiles(slide.deepzoom, at.level, &columns, &rows);
    return at.column < columns && at.row < rows;
}

// A coarse level still being built: wait for it (without holding the worker) up to the request's
// time, then ask the client to come back. Once built, nothing is checked again.
bool StillBuilding(ServedSlide& slide, int32_t level) {
    if (slide.coarseBuilt.load(std::memory_order_relaxed)) return false;
    if (tarn_deepzoom_wait_level(slide.deepzoom, level, 0) == 0) return true;
    if (tarn_deepzoom_get_build_progress(slide.deepzoom) == 1)
        slide.coarseBuilt.store(true, std::memory_order_relaxed);
    return false;
}

// Renders and encodes the tile, with a seat of its slide held.
http::Answer Render(Server& server, const http::Call& call,
                    const std::shared_ptr<ServedSlide>& held, const TileAt& at) {
    ServedSlide& slide = *held;
    if (StillBuilding(slide, at.level)) {
        if (!call.mayWait)
            return http::Busy("this level of the slide is still being built: try again soon", 5);
        return http::Later(
            [held, level = at.level] {
                return tarn_deepzoom_wait_level(held->deepzoom, level, 0) != 0;
            },
            http::Clock::time_point::max());
    }
    uint8_t* jpeg = nullptr;
    size_t size = 0;
    if (tarn_deepzoom_read_tile_jpeg(slide.deepzoom, at.level, at.column, at.row,
                                     server.options.quality, &jpeg, &size) != 0) {
        const char* why = tarn_get_error(slide.slide);
        fprintf(stderr, "tarn: tile %s/%d/%lld_%lld failed: %s\n", slide.name.c_str(), at.level,
                static_cast<long long>(at.column), static_cast<long long>(at.row),
                why != nullptr ? why : "unknown failure");
        return http::Text(500, "this tile cannot be read");
    }
    http::EncodedPtr encoded =
        http::MakeEncoded(std::string(reinterpret_cast<const char*>(jpeg), size));
    tarn_free(jpeg);
    server.cache.Insert(KeyOf(slide, at), encoded);
    return TileAnswer(std::move(encoded));
}

http::Answer Tile(Server& server, const http::Call& call) {
    const std::string& name = call.captures[0];
    const std::string& file = call.captures[2];
    const size_t underscore = file.find('_');
    int64_t level = 0, column = 0, row = 0;
    if (underscore == std::string::npos) return http::NotFound();
    if (!http::ParseIndex(call.captures[1], &level) ||
        !http::ParseIndex(std::string_view(file).substr(0, underscore), &column) ||
        !http::ParseIndex(std::string_view(file).substr(underscore + 1), &row))
        return http::Text(400, "levels, columns and rows are plain whole numbers");
    if (level > INT32_MAX) return http::NotFound();
    const TileAt at{static_cast<int32_t>(level), column, row};
    // A cached tile needs no seat: only a rendering reads the slide.
    const auto seen = LookSlide(server, name);
    if (seen == nullptr || !HasTile(*seen, at)) return http::NotFound();
    if (auto cached = server.cache.Find(KeyOf(*seen, at))) return TileAnswer(std::move(cached));

    HeldSlide held;
    http::Answer instead;
    if (!HoldSlide(server, call, name, &held, &instead)) return instead;
    if (held.slide->id != seen->id) {  // opened anew meanwhile
        if (!HasTile(*held.slide, at)) return http::NotFound();
        if (auto cached = server.cache.Find(KeyOf(*held.slide, at)))
            return TileAnswer(std::move(cached));
    }
    return Render(server, call, held.slide, at);
}

}  // namespace

std::vector<http::Route> DeepZoomRoutes(Server& server) {
    constexpr auto kCors = http::CrossOrigin::WhenConfigured;
    return {
        {"/deepzoom/{slide}.dzi",
         [&server](const http::Call& call) { return Descriptor(server, call); }, "descriptor",
         kCors},
        {"/deepzoom/{slide}_files/{level}/{tile}.jpeg",
         [&server](const http::Call& call) { return Tile(server, call); }, "tile", kCors},
    };
}

}  // namespace tarncli::serve
