// IIIF Image API 3.0 (compliance level 2) and a Presentation 3.0 manifest per slide, under
// /iiif/3/<slide>: the documents made per request (their URLs follow the Host the client used),
// the images drawn by iiif/ and kept in the encoded cache.
#include <cstdio>

#include "iiif/Documents.h"
#include "iiif/Render.h"
#include "iiif/Service.h"
#include "routes/RouteTable.h"
#include "routes/SlideAccess.h"

namespace tarncli::serve {

namespace {

http::Answer Refusal(const iiif::Error& error) {
    return http::Text(error.status, error.message);
}

// The slide, when it has a service; otherwise the answer to give instead.
std::shared_ptr<ServedSlide> ServiceSlide(Server& server, const std::string& name,
                                          http::Answer* instead) {
    auto slide = LookSlide(server, name);
    if (slide == nullptr) {
        *instead = http::NotFound();
        return nullptr;
    }
    if (!slide->iiifReady) {
        *instead = http::Text(500, "this slide cannot describe itself");
        return nullptr;
    }
    return slide;
}

bool Uris(const http::Call& call, const std::string& name, iiif::ServiceUris* uris,
          http::Answer* instead) {
    std::string origin;
    if (!RequestOrigin(call.request, &origin)) {
        *instead = http::Text(400, "the Host header is missing or not a host name");
        return false;
    }
    *uris = iiif::MakeServiceUris(origin, name);
    return true;
}

http::Answer Base(Server& server, const http::Call& call) {
    if (LookSlide(server, call.captures[0]) == nullptr) return http::NotFound();
    http::Answer answer = http::Text(303, "see info.json");
    answer.headers.emplace_back("Location", "/iiif/3/" + call.captures[0] + "/info.json");
    return answer;
}

http::Answer Info(Server& server, const http::Call& call) {
    const std::string& name = call.captures[0];
    http::Answer instead;
    iiif::ServiceUris uris;
    const auto slide = ServiceSlide(server, name, &instead);
    if (slide == nullptr || !Uris(call, name, &uris, &instead)) return instead;
    http::Answer answer = http::Content(
        http::MakeEncoded(
            iiif::InfoJson(slide->iiif, uris.service, iiif::Limits{}, {"profileLinkHeader"})),
        iiif::InfoContentType(call.request.accept.value_or("")), http::Caching::Revalidate);
    answer.headers = {{"Link", iiif::kProfileLink}, {"Vary", "Accept"}};
    return answer;
}

http::Answer Manifest(Server& server, const http::Call& call) {
    const std::string& name = call.captures[0];
    http::Answer instead;
    iiif::ServiceUris uris;
    const auto slide = ServiceSlide(server, name, &instead);
    if (slide == nullptr || !Uris(call, name, &uris, &instead)) return instead;
    return http::Content(http::MakeEncoded(iiif::ManifestJson(
                             slide->iiif, {uris.manifest, uris.service, name}, iiif::Limits{})),
                         iiif::kManifestType, http::Caching::Revalidate);
}

http::Answer ImageAnswer(http::EncodedPtr bytes, iiif::Format format) {
    http::Answer answer =
        http::Content(std::move(bytes), iiif::FormatContentType(format), http::Caching::SlideData);
    answer.headers.emplace_back("Link", iiif::kProfileLink);
    return answer;
}

EncodedKey KeyOf(const ServedSlide& slide, const iiif::ResolvedRequest& request) {
    return EncodedKey{slide.id, "iiif " + iiif::CacheKey(request),
                      iiif::FormatExtension(request.format)};
}

// Draws the image with a seat of its slide held; a request that reads coarse levels still being
// built is set aside without its worker, as Deep Zoom's tiles are.
http::Answer Draw(Server& server, const http::Call& call, const std::shared_ptr<ServedSlide>& held,
                  const iiif::ResolvedRequest& request) {
    ServedSlide& slide = *held;
    if (iiif::ReadsCoarseLevels(slide.iiif, request) &&
        tarn_wait_coarse_levels(slide.slide, 0) == 0) {
        if (!call.mayWait)
            return http::Busy("this slide's coarse levels are still being built: try again soon",
                              5);
        return http::Later([held] { return tarn_wait_coarse_levels(held->slide, 0) != 0; },
                           http::Clock::time_point::max());
    }
    std::string bytes;
    iiif::RenderOptions options;
    options.jpegQuality = server.options.iiifQuality;
    if (const iiif::Error error =
            iiif::RenderImage(slide.slide, slide.iiif, request, options, &bytes)) {
        fprintf(stderr, "tarn: IIIF image %s of %s failed: %s\n", call.request.target.c_str(),
                slide.name.c_str(), error.message.c_str());
        return Refusal(error);
    }
    http::EncodedPtr encoded = http::MakeEncoded(std::move(bytes));
    server.cache.Insert(KeyOf(slide, request), encoded);
    return ImageAnswer(std::move(encoded), request.format);
}

http::Answer Image(Server& server, const http::Call& call) {
    const std::vector<std::string>& c = call.captures;
    const std::string& name = c[0];
    iiif::ImageRequest asked;
    if (const iiif::Error error = iiif::ParseImageRequest(c[1], c[2], c[3], c[4], &asked))
        return Refusal(error);
    http::Answer instead;
    const auto seen = ServiceSlide(server, name, &instead);
    if (seen == nullptr) return instead;
    iiif::ResolvedRequest request;
    if (const iiif::Error error =
            iiif::ResolveImageRequest(asked, seen->iiif.width, seen->iiif.height, {}, &request))
        return Refusal(error);
    // A cached image needs no seat: only a drawing reads the slide.
    if (auto cached = server.cache.Find(KeyOf(*seen, request)))
        return ImageAnswer(std::move(cached), request.format);

    HeldSlide held;
    if (!HoldSlide(server, call, name, &held, &instead)) return instead;
    if (held.slide->id != seen->id) {  // opened anew meanwhile: resolved against the new file
        if (!held.slide->iiifReady) return http::Text(500, "this slide cannot describe itself");
        if (const iiif::Error error = iiif::ResolveImageRequest(
                asked, held.slide->iiif.width, held.slide->iiif.height, {}, &request))
            return Refusal(error);
        if (auto cached = server.cache.Find(KeyOf(*held.slide, request)))
            return ImageAnswer(std::move(cached), request.format);
    }
    return Draw(server, call, held.slide, request);
}

}  // namespace

std::vector<http::Route> IiifRoutes(Server& server) {
    constexpr auto kOpen = http::CrossOrigin::Yes;
    return {
        {"/iiif/3/{slide}", [&server](const http::Call& call) { return Base(server, call); },
         "iiif", kOpen},
        {"/iiif/3/{slide}/info.json",
         [&server](const http::Call& call) { return Info(server, call); }, "iiif", kOpen},
        {"/iiif/3/{slide}/manifest.json",
         [&server](const http::Call& call) { return Manifest(server, call); }, "iiif", kOpen},
        {"/iiif/3/{slide}/{region}/{size}/{rotation}/{file}",
         [&server](const http::Call& call) { return Image(server, call); }, "iiif", kOpen},
        // Anything else under /iiif is unknown, but answered with the cross-origin headers that
        // let a viewer elsewhere see the 404.
        {"/iiif/{rest*}", [](const http::Call&) { return http::NotFound(); }, "iiif", kOpen},
    };
}

}  // namespace tarncli::serve
