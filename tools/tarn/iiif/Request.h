// IIIF Image API 3.0 image requests, {region}/{size}/{rotation}/{quality}.{format}: parsed from
// the URL's segments, then resolved against one image's size and the service's bounds into the
// exact pixels to read and the exact size to answer. Pure functions: no slide, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarncli::iiif {

// Why a request gets no image: the HTTP status to answer and a message for its body. A status
// of 0 is success, so that `if (Error e = Parse(...)) return e;` reads naturally.
struct Error {
    int status = 0;
    std::string message;
    explicit operator bool() const { return status != 0; }
};

Error BadRequest(std::string message);      // 400: the request is wrong, or wrong for this image
Error NotImplemented(std::string message);  // 501: valid IIIF that this service does not do

enum class Quality { Default, Color, Gray, Bitonal };
enum class Format { Jpg, Png };

// The request as written, before it meets an image.
struct ImageRequest {
    enum class RegionKind { Full, Square, Pixels, Percent };
    RegionKind region = RegionKind::Full;
    int64_t x = 0, y = 0, w = 0, h = 0;     // RegionKind::Pixels
    double px = 0, py = 0, pw = 0, ph = 0;  // RegionKind::Percent, in percent of the image

    enum class SizeKind { Max, Width, Height, Percent, Exact, Fit };
    SizeKind size = SizeKind::Max;
    bool upscale = false;           // the '^' prefix
    int64_t width = 0, height = 0;  // Width ("w,"), Height (",h"), Exact ("w,h"), Fit ("!w,h")
    double percent = 0;             // Percent ("pct:n")

    int rotation = 0;     // 0, 90, 180 or 270, clockwise
    bool mirror = false;  // the '!' prefix: flipped left to right before the rotation
    Quality quality = Quality::Default;
    Format format = Format::Jpg;
};

// What one request may ask for at most: the output's area, width and height (before rotation).
// Every bound is at least 1; width and height stay within what JPEG can encode (65,500).
struct Limits {
    int64_t maxArea = int64_t{4096} * 4096;
    int64_t maxWidth = 16384;
    int64_t maxHeight = 16384;
};

// Largest side JPEG allows, and so the ceiling of Limits::maxWidth and maxHeight.
constexpr int64_t kLargestSide = 65500;

// Images larger than this on a side are refused (500), so that the product of two sides always
// fits in 64 bits. A slide's grid fits in 32-bit integers, so no slide is.
constexpr int64_t kLargestImage = int64_t{1} << 31;

// The request resolved for one image: what to read and what to answer.
struct ResolvedRequest {
    int64_t x = 0, y = 0, w = 0, h = 0;  // the region, in full-resolution pixels, inside the image
    int64_t width = 0, height = 0;       // the region scaled to this size, before rotation
    int rotation = 0;
    bool mirror = false;
    Quality quality = Quality::Default;
    Format format = Format::Jpg;

    // The answer's size, after rotation.
    int64_t OutputWidth() const { return rotation % 180 == 0 ? width : height; }
    int64_t OutputHeight() const { return rotation % 180 == 0 ? height : width; }
};

// Parses the four segments after the service's id (already percent-decoded). Syntax errors and
// unknown qualities or formats are 400; a rotation that is not a multiple of 90 is 501.
Error ParseImageRequest(std::string_view region, std::string_view size, std::string_view rotation,
                        std::string_view qualityFormat, ImageRequest* request);

// The same from "region/size/rotation/quality.format".
Error ParseImagePath(std::string_view path, ImageRequest* request);

// Resolves `request` for an image of imageWidth x imageHeight pixels under `limits`. A region
// reaching past the image is cropped to it; one wholly outside it, or empty, is 400. Without
// upscaling: a plain size larger than the region is 400, a '^' size that does not enlarge is
// answered as the plain one, one that would enlarge is 501. `max` and `!w,h` give the largest size
// within the limits; any other size beyond them is 400.
Error ResolveImageRequest(const ImageRequest& request, int64_t imageWidth, int64_t imageHeight,
                          const Limits& limits, ResolvedRequest* resolved);

// Largest width x height of the aspect ratio of regionWidth x regionHeight within boxWidth x
// boxHeight and maxArea (each side at least 1).
void FitWithin(int64_t regionWidth, int64_t regionHeight, int64_t boxWidth, int64_t boxHeight,
               int64_t maxArea, int64_t* width, int64_t* height);

// "x,y,w,h/w,h/[!]rotation/quality": the same string for every request that gives the same
// pixels (`full/max`, `square` on a square image and the explicit forms alike; `default` and
// `color` are one quality). The format is left out: the caller's cache keys it beside this.
std::string CacheKey(const ResolvedRequest& request);

// "jpg" or "png"; "image/jpeg" or "image/png".
const char* FormatExtension(Format format);
const char* FormatContentType(Format format);

}  // namespace tarncli::iiif
