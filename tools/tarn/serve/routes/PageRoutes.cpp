// The viewer's pages: the index of the slides and one viewer page per slide.
#include "ServeAssets.h"
#include "routes/RouteTable.h"
#include "routes/SlideAccess.h"

namespace tarncli::serve {

namespace {

constexpr const char* kPage = "text/html; charset=utf-8";

http::Answer Viewer(Server& server, const http::Call& call) {
    const auto slide = LookSlide(server, call.captures[0]);
    if (slide == nullptr) return http::NotFound();
    if (!kViewerBuilt) return http::Text(501, kViewerMissing);
    return http::Content(slide->viewerPage, kPage, http::Caching::Revalidate);
}

}  // namespace

std::vector<http::Route> PageRoutes(Server& server) {
    return {
        {"/",
         [&server](const http::Call&) {
             return http::Content(server.IndexPage(), kPage, http::Caching::Revalidate);
         },
         "index"},
        {"/view/{slide}", [&server](const http::Call& call) { return Viewer(server, call); },
         "viewer"},
    };
}

}  // namespace tarncli::serve
