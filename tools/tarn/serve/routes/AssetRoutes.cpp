// The viewer's static files, built into the binary: /static/<name> and /favicon.ico.
#include <map>

#include "ServeAssets.h"
#include "routes/RouteTable.h"
#include "routes/SlideAccess.h"

namespace tarncli::serve {

namespace {

// The embedded files the static route may serve, built once: every one but the page templates.
http::EncodedPtr StaticFile(std::string_view name) {
    static const std::map<std::string, http::EncodedPtr, std::less<>> files = [] {
        std::map<std::string, http::EncodedPtr, std::less<>> all;
        for (size_t i = 0; i < kEmbeddedFileCount; ++i)
            if (!EndsWith(kEmbeddedFiles[i].name, ".html"))
                all.emplace(kEmbeddedFiles[i].name,
                            http::MakeEncoded(std::string(kEmbeddedFiles[i].bytes)));
        return all;
    }();
    const auto it = files.find(name);
    return it != files.end() ? it->second : nullptr;
}

http::Answer Asset(std::string_view name, std::string_view type) {
    http::EncodedPtr file = StaticFile(name);
    if (!file) return http::NotFound();
    return http::Content(std::move(file), type, http::Caching::Static);
}

}  // namespace

std::vector<http::Route> AssetRoutes(Server&) {
    return {
        {"/static/{name*}",
         [](const http::Call& call) {
             return Asset(call.captures[0], ContentTypeOf(call.captures[0]));
         },
         "static"},
        {"/favicon.ico", [](const http::Call&) { return Asset("favicon.ico", "image/x-icon"); },
         "favicon"},
    };
}

}  // namespace tarncli::serve
