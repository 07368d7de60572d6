// What a slide carries beside its image: its properties as JSON, and its associated images
// (label, macrograph, thumbnail) as JPEG or PNG, each encoded when first asked for.
#include <algorithm>
#include <cstdio>

#include "ImageFiles.h"
#include "routes/RouteTable.h"
#include "routes/SlideAccess.h"

namespace tarncli::serve {

namespace {

using http::EncodedPtr;
using http::MakeEncoded;

// An associated image of `slide` as JPEG or PNG; null (with a message) when it cannot be read.
EncodedPtr AssociatedImage(ServedSlide& slide, const std::string& image, bool png,
                           std::string* error) {
    const std::string key = image + (png ? ".png" : ".jpeg");
    const std::lock_guard<std::mutex> lock(slide.imagesMutex);
    const auto found = slide.encodedImages.find(key);
    if (found != slide.encodedImages.end()) return found->second;

    int64_t width = -1, height = -1;
    tarn_get_associated_image_dimensions(slide.slide, image.c_str(), &width, &height);
    // JPEG's limit on sides, and a bound on the pixels whatever the file says.
    constexpr int64_t kMaxPixels = int64_t{1} << 27;
    if (width <= 0 || height <= 0 || width > 65500 || height > 65500 ||
        width * height > kMaxPixels) {
        *error = "the " + image + " image has no usable size";
        return nullptr;
    }
    std::string bytes;
    if (png) {
        std::string rgb(static_cast<size_t>(width * height * 3), '\0');
        if (tarn_read_associated_image(slide.slide, image.c_str(), rgb.data(), TARN_FORMAT_RGB) !=
            0) {
            const char* why = tarn_get_error(slide.slide);
            *error = "cannot read the " + image + " image: " + (why ? why : "unknown failure");
            return nullptr;
        }
        const auto pixels = reinterpret_cast<unsigned char*>(rgb.data());
        if (!EncodePng(pixels, static_cast<int>(width), static_cast<int>(height), &bytes, error))
            return nullptr;
    } else {
        uint8_t* jpeg = nullptr;
        size_t size = 0;
        if (tarn_read_associated_image_jpeg(slide.slide, image.c_str(), 90, &jpeg, &size) != 0) {
            const char* why = tarn_get_error(slide.slide);
            *error = "cannot encode the " + image + " image: " + (why ? why : "unknown failure");
            return nullptr;
        }
        bytes.assign(reinterpret_cast<const char*>(jpeg), size);
        tarn_free(jpeg);
    }
    return slide.encodedImages[key] = MakeEncoded(std::move(bytes));
}

http::Answer Properties(Server& server, const http::Call& call) {
    const auto slide = LookSlide(server, call.captures[0]);
    if (slide == nullptr) return http::NotFound();
    return http::Content(slide->propertiesJson, "application/json", http::Caching::SlideData);
}

// /associated/<slide>/<image>.jpeg or .png
http::Answer Associated(Server& server, const http::Call& call) {
    const std::string& file = call.captures[1];
    const bool png = EndsWith(file, ".png");
    if (!png && !EndsWith(file, ".jpeg")) return http::NotFound();
    const std::string image = file.substr(0, file.rfind('.'));
    HeldSlide held;
    http::Answer instead;
    if (!HoldSlide(server, call, call.captures[0], &held, &instead)) return instead;
    ServedSlide& slide = *held.slide;
    if (std::find(slide.images.begin(), slide.images.end(), image) == slide.images.end())
        return http::NotFound();
    std::string error;
    EncodedPtr encoded = AssociatedImage(slide, image, png, &error);
    if (!encoded) {
        fprintf(stderr, "tarn: %s of %s failed: %s\n", image.c_str(), slide.name.c_str(),
                error.c_str());
        return http::Text(500, "this image cannot be read");
    }
    return http::Content(std::move(encoded), png ? "image/png" : "image/jpeg",
                         http::Caching::SlideData);
}

}  // namespace

std::vector<http::Route> AssociatedRoutes(Server& server) {
    constexpr auto kCors = http::CrossOrigin::WhenConfigured;
    return {
        {"/properties/{slide}.json",
         [&server](const http::Call& call) { return Properties(server, call); }, "properties",
         kCors},
        {"/associated/{slide}/{image}",
         [&server](const http::Call& call) { return Associated(server, call); }, "associated",
         kCors},
    };
}

}  // namespace tarncli::serve
