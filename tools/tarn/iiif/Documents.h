// The JSON documents of a slide's IIIF service: the Image API 3.0 info.json and a Presentation
// 3.0 manifest of one canvas, so that a viewer such as Mirador opens the slide from one URL.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "iiif/Request.h"
#include "iiif/Slide.h"

namespace tarncli::iiif {

constexpr char kImageContext[] = "http://iiif.io/api/image/3/context.json";
constexpr char kPresentationContext[] = "http://iiif.io/api/presentation/3/context.json";

// info.json of the image service whose id (its base URI, without "/info.json") is `id`.
// `routeFeatures` names the features beyond level 2 that the route itself provides, such as
// "profileLinkHeader" when it sends kProfileLink: they join "mirroring" in extraFeatures.
std::string InfoJson(const SlideFacts& facts, std::string_view id, const Limits& limits,
                     const std::vector<std::string>& routeFeatures = {});

struct ManifestIds {
    std::string manifest;  // the manifest's own URL
    std::string service;   // the image service's id
    std::string label;     // the slide's name, as people see it
};

// A Manifest with a label, the slide's resolution and magnification as metadata when known, a
// thumbnail (the service at a cheap size near 256 pixels), and one Canvas of the slide's size
// painted by one Annotation whose body is the image with its ImageService3.
std::string ManifestJson(const SlideFacts& facts, const ManifestIds& ids, const Limits& limits);

// The thumbnail's size: the largest cheap size whose sides are at most 512 pixels, else the
// smallest cheap size, else the largest size within the limits.
std::pair<int64_t, int64_t> ThumbnailSize(const SlideFacts& facts, const Limits& limits);

// `text` as a JSON string, quotes included. Invalid UTF-8 becomes U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace tarncli::iiif
