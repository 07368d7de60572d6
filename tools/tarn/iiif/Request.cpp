#include "iiif/Request.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace tarncli::iiif {

Error BadRequest(std::string message) {
    return {400, std::move(message)};
}
Error NotImplemented(std::string message) {
    return {501, std::move(message)};
}

namespace {

// Numbers in a request: plain decimal digits, no sign, no exponent, no spaces. Ten digits at
// most, so that every value and every product of two of them stays far from overflow.
constexpr size_t kMaxDigits = 10;

bool IsDigits(std::string_view text) {
    return !text.empty() && text.size() <= kMaxDigits &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ParseInteger(std::string_view text, int64_t* value) {
    if (!IsDigits(text)) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

// "12" or "12.5": digits, and optionally a point with digits after it. from_chars reads it
// whatever the locale.
bool ParseDecimal(std::string_view text, double* value) {
    const size_t point = text.find('.');
    if (!IsDigits(text.substr(0, point))) return false;
    if (point != std::string_view::npos && !IsDigits(text.substr(point + 1))) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(*value);
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

Error ParseRegion(std::string_view text, ImageRequest* request) {
    using Kind = ImageRequest::RegionKind;
    if (text == "full") {
        request->region = Kind::Full;
        return {};
    }
    if (text == "square") {
        request->region = Kind::Square;
        return {};
    }
    const bool percent = StartsWith(text, "pct:");
    const std::vector<std::string_view> parts = Split(percent ? text.substr(4) : text, ',');
    if (parts.size() != 4) return BadRequest("region must be full, square, x,y,w,h or pct:x,y,w,h");
    if (percent) {
        double* fields[] = {&request->px, &request->py, &request->pw, &request->ph};
        for (size_t i = 0; i < 4; ++i)
            if (!ParseDecimal(parts[i], fields[i]))
                return BadRequest("region percentages must be plain decimal numbers");
        request->region = Kind::Percent;
        return {};
    }
    int64_t* fields[] = {&request->x, &request->y, &request->w, &request->h};
    for (size_t i = 0; i < 4; ++i)
        if (!ParseInteger(parts[i], fields[i]))
            return BadRequest("region coordinates must be whole numbers of at most 10 digits");
    request->region = Kind::Pixels;
    return {};
}

Error ParseSize(std::string_view text, ImageRequest* request) {
    using Kind = ImageRequest::SizeKind;
    request->upscale = StartsWith(text, "^");
    if (request->upscale) text.remove_prefix(1);
    if (text == "max") {
        request->size = Kind::Max;
        return {};
    }
    if (StartsWith(text, "pct:")) {
        if (!ParseDecimal(text.substr(4), &request->percent))
            return BadRequest("size pct:n needs a plain decimal number");
        request->size = Kind::Percent;
        return {};
    }
    const bool fit = StartsWith(text, "!");
    if (fit) text.remove_prefix(1);
    const std::vector<std::string_view> parts = Split(text, ',');
    const char* const form =
        "size must be max, w,, ,h, pct:n, w,h or !w,h, each with an optional ^";
    if (parts.size() != 2) return BadRequest(form);
    const bool hasWidth = !parts[0].empty(), hasHeight = !parts[1].empty();
    if ((hasWidth && !ParseInteger(parts[0], &request->width)) ||
        (hasHeight && !ParseInteger(parts[1], &request->height)))
        return BadRequest(form);
    if (fit && !(hasWidth && hasHeight)) return BadRequest(form);
    if (hasWidth && hasHeight) {
        request->size = fit ? Kind::Fit : Kind::Exact;
    } else if (hasWidth) {
        request->size = Kind::Width;
    } else if (hasHeight) {
        request->size = Kind::Height;
    } else {
        return BadRequest(form);
    }
    if ((hasWidth && request->width == 0) || (hasHeight && request->height == 0))
        return BadRequest("size must not be zero");
    return {};
}

Error ParseRotation(std::string_view text, ImageRequest* request) {
    request->mirror = StartsWith(text, "!");
    if (request->mirror) text.remove_prefix(1);
    double degrees = 0;
    if (!ParseDecimal(text, &degrees) || degrees > 360)
        return BadRequest("rotation must be a number of degrees from 0 to 360, optionally after !");
    // 90.0 is 90; 360 turns as far as 0.
    for (const int right : {0, 90, 180, 270, 360}) {
        if (degrees == right) {
            request->rotation = right % 360;
            return {};
        }
    }
    return NotImplemented("only rotations by multiples of 90 degrees are supported");
}

Error ParseQualityFormat(std::string_view text, ImageRequest* request) {
    const size_t dot = text.rfind('.');
    if (dot == std::string_view::npos) return BadRequest("the last segment must be quality.format");
    const std::string_view quality = text.substr(0, dot), format = text.substr(dot + 1);
    if (quality == "default") {
        request->quality = Quality::Default;
    } else if (quality == "color") {
        request->quality = Quality::Color;
    } else if (quality == "gray") {
        request->quality = Quality::Gray;
    } else if (quality == "bitonal") {
        request->quality = Quality::Bitonal;
    } else {
        return BadRequest("quality must be default, color, gray or bitonal");
    }
    if (format == "jpg") {
        request->format = Format::Jpg;
    } else if (format == "png") {
        request->format = Format::Png;
    } else {
        return BadRequest("format must be jpg or png");
    }
    return {};
}

// a * b / c rounded to nearest, for values whose product fits in 64 bits.
int64_t RoundDiv(int64_t a, int64_t b, int64_t c) {
    return (a * b + c / 2) / c;
}

Error ResolveRegion(const ImageRequest& request, int64_t imageWidth, int64_t imageHeight,
                    ResolvedRequest* resolved) {
    using Kind = ImageRequest::RegionKind;
    int64_t x = 0, y = 0, w = imageWidth, h = imageHeight;
    switch (request.region) {
        case Kind::Full:
            break;
        case Kind::Square: {
            const int64_t side = std::min(imageWidth, imageHeight);
            x = (imageWidth - side) / 2;
            y = (imageHeight - side) / 2;
            w = h = side;
            break;
        }
        case Kind::Pixels:
            if (request.w == 0 || request.h == 0) return BadRequest("region is empty");
            if (request.x >= imageWidth || request.y >= imageHeight)
                return BadRequest("region lies outside the image");
            x = request.x;
            y = request.y;
            w = std::min(request.w, imageWidth - x);
            h = std::min(request.h, imageHeight - y);
            break;
        case Kind::Percent: {
            if (request.pw == 0 || request.ph == 0) return BadRequest("region is empty");
            if (request.px >= 100 || request.py >= 100)
                return BadRequest("region lies outside the image");
            // Every pixel the rectangle touches: neighbouring regions meet without a gap.
            const auto span = [](double start, double length, int64_t size, int64_t* first,
                                 int64_t* count) {
                const double scale = static_cast<double>(size) / 100;
                *first = static_cast<int64_t>(std::floor(start * scale));
                const double end =
                    std::min(std::ceil((start + length) * scale), static_cast<double>(size));
                *count = std::max(static_cast<int64_t>(end) - *first, int64_t{1});
            };
            span(request.px, request.pw, imageWidth, &x, &w);
            span(request.py, request.ph, imageHeight, &y, &h);
            break;
        }
    }
    resolved->x = x;
    resolved->y = y;
    resolved->w = w;
    resolved->h = h;
    return {};
}

bool WithinLimits(int64_t width, int64_t height, const Limits& limits) {
    return width <= limits.maxWidth && height <= limits.maxHeight &&
           width * height <= limits.maxArea;
}

Error ResolveSize(const ImageRequest& request, const Limits& limits, ResolvedRequest* resolved) {
    using Kind = ImageRequest::SizeKind;
    const int64_t rw = resolved->w, rh = resolved->h;
    const auto tooLarge = [&request]() {
        return request.upscale ? NotImplemented("sizes larger than the region are not supported")
                               : BadRequest("size is larger than the region (use ^ to enlarge)");
    };
    int64_t width = 0, height = 0;
    switch (request.size) {
        case Kind::Max:
        case Kind::Fit: {
            const bool max = request.size == Kind::Max;
            const int64_t boxWidth =
                max ? limits.maxWidth : std::min(request.width, limits.maxWidth);
            const int64_t boxHeight =
                max ? limits.maxHeight : std::min(request.height, limits.maxHeight);
            // Without '^' the region's own size is one more bound; with it, a result beyond the
            // region would be an enlargement (^max enlarges up to the limits).
            if (request.upscale) {
                FitWithin(rw, rh, boxWidth, boxHeight, limits.maxArea, &width, &height);
                if (width > rw || height > rh) return tooLarge();
            } else {
                FitWithin(rw, rh, std::min(boxWidth, rw), std::min(boxHeight, rh), limits.maxArea,
                          &width, &height);
            }
            resolved->width = width;
            resolved->height = height;
            return {};
        }
        case Kind::Width:
            if (request.width > rw) return tooLarge();
            width = request.width;
            height = std::max(RoundDiv(width, rh, rw), int64_t{1});
            break;
        case Kind::Height:
            if (request.height > rh) return tooLarge();
            height = request.height;
            width = std::max(RoundDiv(height, rw, rh), int64_t{1});
            break;
        case Kind::Percent:
            if (request.percent > 100) return tooLarge();
            width = std::llround(static_cast<double>(rw) * request.percent / 100);
            height = std::llround(static_cast<double>(rh) * request.percent / 100);
            if (width == 0 || height == 0) return BadRequest("size rounds to zero pixels");
            break;
        case Kind::Exact:
            if (request.width > rw || request.height > rh) return tooLarge();
            width = request.width;
            height = request.height;
            break;
    }
    if (!WithinLimits(width, height, limits))
        return BadRequest("size is beyond this service's maxWidth, maxHeight or maxArea");
    resolved->width = width;
    resolved->height = height;
    return {};
}

}  // namespace

Error ParseImageRequest(std::string_view region, std::string_view size, std::string_view rotation,
                        std::string_view qualityFormat, ImageRequest* request) {
    *request = ImageRequest{};
    if (Error e = ParseRegion(region, request)) return e;
    if (Error e = ParseSize(size, request)) return e;
    if (Error e = ParseRotation(rotation, request)) return e;
    return ParseQualityFormat(qualityFormat, request);
}

Error ParseImagePath(std::string_view path, ImageRequest* request) {
    const std::vector<std::string_view> parts = Split(path, '/');
    if (parts.size() != 4)
        return BadRequest("an image request is {region}/{size}/{rotation}/{quality}.{format}");
    return ParseImageRequest(parts[0], parts[1], parts[2], parts[3], request);
}

void FitWithin(int64_t regionWidth, int64_t regionHeight, int64_t boxWidth, int64_t boxHeight,
               int64_t maxArea, int64_t* width, int64_t* height) {
    int64_t w = 0, h = 0;
    // Products of a side (at most 2^31) and a bound (below 2^17) fit in 64 bits.
    if (boxWidth * regionHeight <= boxHeight * regionWidth) {
        w = boxWidth;
        h = std::max(RoundDiv(regionHeight, boxWidth, regionWidth), int64_t{1});
    } else {
        h = boxHeight;
        w = std::max(RoundDiv(regionWidth, boxHeight, regionHeight), int64_t{1});
    }
    if (w * h > maxArea) {
        const double scale = std::sqrt(static_cast<double>(maxArea) /
                                       (static_cast<double>(regionWidth) * regionHeight));
        w = std::clamp(static_cast<int64_t>(regionWidth * scale), int64_t{1}, w);
        h = std::clamp(static_cast<int64_t>(regionHeight * scale), int64_t{1}, h);
        // Rounding, and sides held at 1 pixel, may still overshoot the area by a little.
        w = std::min(w, std::max(maxArea / h, int64_t{1}));
        h = std::min(h, std::max(maxArea / w, int64_t{1}));
    }
    *width = w;
    *height = h;
}

Error ResolveImageRequest(const ImageRequest& request, int64_t imageWidth, int64_t imageHeight,
                          const Limits& limits, ResolvedRequest* resolved) {
    *resolved = ResolvedRequest{};
    if (imageWidth < 1 || imageHeight < 1 || imageWidth > kLargestImage ||
        imageHeight > kLargestImage)
        return {500, "the image's size cannot be served"};
    if (limits.maxArea < 1 || limits.maxWidth < 1 || limits.maxHeight < 1 ||
        limits.maxWidth > kLargestSide || limits.maxHeight > kLargestSide)
        return {500, "the service's size limits are out of range"};
    if (Error e = ResolveRegion(request, imageWidth, imageHeight, resolved)) return e;
    if (Error e = ResolveSize(request, limits, resolved)) return e;
    resolved->rotation = request.rotation;
    resolved->mirror = request.mirror;
    resolved->quality = request.quality;
    resolved->format = request.format;
    return {};
}

std::string CacheKey(const ResolvedRequest& r) {
    const char* quality = r.quality == Quality::Gray      ? "gray"
                          : r.quality == Quality::Bitonal ? "bitonal"
                                                          : "default";
    return std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.w) + "," +
           std::to_string(r.h) + "/" + std::to_string(r.width) + "," + std::to_string(r.height) +
           "/" + (r.mirror ? "!" : "") + std::to_string(r.rotation) + "/" + quality;
}

const char* FormatExtension(Format format) {
    return format == Format::Png ? "png" : "jpg";
}

const char* FormatContentType(Format format) {
    return format == Format::Png ? "image/png" : "image/jpeg";
}

}  // namespace tarncli::iiif
