// /status: what the server has done since it started, its caches, and how far each slide's
// coarse levels are built, as JSON.
#include <cstdio>

#include "Pages.h"
#include "routes/RouteTable.h"
#include "routes/SlideAccess.h"

namespace tarncli::serve {

namespace {

std::string Object(std::initializer_list<std::pair<const char*, uint64_t>> members) {
    std::string text = "{";
    for (const auto& [name, value] : members)
        text +=
            std::string(text.size() > 1 ? ", " : "") + "\"" + name + "\": " + std::to_string(value);
    return text + "}";
}

http::Answer Status(Server& server) {
    const EncodedCacheStats encoded = server.cache.Stats();
    tarn_cache_stats library{};
    tarn_cache_get_stats(nullptr, &library);
    const std::vector<std::shared_ptr<ServedSlide>> current = server.Current();
    const std::string extra = "\"slides\": " + std::to_string(current.size()) +
                              ", \"tile_cache\": " +
                              Object({{"hits", encoded.hits},
                                      {"misses", encoded.misses},
                                      {"bytes", encoded.bytes},
                                      {"capacity", encoded.capacity},
                                      {"entries", encoded.entries}}) +
                              ", \"library_cache\": " +
                              Object({{"hits", library.hits},
                                      {"misses", library.misses},
                                      {"bytes", library.bytes},
                                      {"capacity", library.capacity},
                                      {"entries", library.entries}});
    // How far each slide's coarse levels are built (1: built, or none needed).
    std::string builds;
    for (const auto& slide : current) {
        char progress[32];
        snprintf(progress, sizeof progress, "%.3f",
                 tarn_deepzoom_get_build_progress(slide->deepzoom));
        if (!builds.empty()) builds.append(", ");
        builds.append(JsonQuote(slide->name)).append(": ").append(progress);
    }
    http::Answer answer = http::Content(
        http::MakeEncoded(server.status->Json(extra + ", \"coarse_levels\": {" + builds + "}") +
                          "\n"),
        "application/json", http::Caching::None);
    answer.sendEtag = false;
    return answer;
}

}  // namespace

std::vector<http::Route> StatusRoutes(Server& server) {
    return {{"/status", [&server](const http::Call&) { return Status(server); }, "status"}};
}

}  // namespace tarncli::serve
