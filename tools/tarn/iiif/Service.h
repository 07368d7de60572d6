// What the HTTP route of a slide's IIIF service needs beyond the documents and the images: which
// resource a path names, the URLs of a slide's service, and which content type info.json gets.
//
// A slide named NAME is served under /iiif/3/NAME (3: the Image API's version):
//   /iiif/3/NAME                 303 to /iiif/3/NAME/info.json (level 2's base URI redirect)
//   /iiif/3/NAME/info.json       InfoJson, as InfoContentType(Accept) says
//   /iiif/3/NAME/manifest.json   ManifestJson, application/ld+json with the Presentation profile
//   /iiif/3/NAME/R/S/T/Q.F       an image: ParseImageRequest, ResolveImageRequest, RenderImage
// Every answer, errors included, carries Access-Control-Allow-Origin (the server's --cors
// policy: `*` unless a token guards it).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarncli::iiif {

enum class Resource { Base, Info, Manifest, Image, NotFound };

// What the path segments after /iiif/NAME name.
Resource ClassifyPath(const std::vector<std::string>& rest);

// The Link header that names the compliance level, for answers to image and info.json requests;
// a route that sends it passes "profileLinkHeader" to InfoJson.
constexpr char kProfileLink[] = "<http://iiif.io/api/image/3/level2.json>;rel=\"profile\"";

// The content types of the documents.
constexpr char kJsonLdInfoType[] =
    "application/ld+json;profile=\"http://iiif.io/api/image/3/context.json\"";
constexpr char kManifestType[] =
    "application/ld+json;profile=\"http://iiif.io/api/presentation/3/context.json\"";

// kJsonLdInfoType when the Accept header asks for application/ld+json (with a nonzero q),
// "application/json" otherwise.
const char* InfoContentType(std::string_view accept);

struct ServiceUris {
    std::string service;   // the image service's id: ORIGIN/iiif/3/NAME
    std::string info;      // .../info.json: the link of the slide's index entry
    std::string manifest;  // .../manifest.json
};

// The URLs of slide `name` (already safe in a URL, as the server's slide names are) served at
// `origin` ("http://host:port", no trailing slash).
ServiceUris MakeServiceUris(std::string_view origin, std::string_view name);

}  // namespace tarncli::iiif
