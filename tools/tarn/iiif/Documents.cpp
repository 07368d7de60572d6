#include "iiif/Documents.h"

#include <charconv>
#include <cstdio>

namespace tarncli::iiif {

namespace {

// Bytes of the well-formed UTF-8 sequence starting at `i`, or 0.
size_t Utf8Length(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // overlong
        if (lead == 0xed) high = 0x9f;  // surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
    return length;
}

std::string Number(int64_t value) {
    return std::to_string(value);
}

// The shortest text that reads back as `value`, whatever the locale.
std::string Number(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "0";
}

std::string Size(int64_t width, int64_t height) {
    return "{\"width\": " + Number(width) + ", \"height\": " + Number(height) + "}";
}

std::string Strings(const std::vector<std::string>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i)
        out += (i ? ", " : "") + JsonString(values[i]);
    return out + "]";
}

// The service as Presentation documents reference it.
std::string ServiceReference(std::string_view id) {
    return "[{\"id\": " + JsonString(id) +
           ", \"type\": \"ImageService3\", \"profile\": \"level2\"}]";
}

// An Image resource of the service at width x height.
std::string ImageResource(std::string_view service, std::string_view path, int64_t width,
                          int64_t height) {
    return "{\"id\": " + JsonString(std::string(service) + "/" + std::string(path)) +
           ", \"type\": \"Image\", \"format\": \"image/jpeg\", \"width\": " + Number(width) +
           ", \"height\": " + Number(height) + ", \"service\": " + ServiceReference(service) + "}";
}

std::string MetadataEntry(const char* label, const std::string& value) {
    return "{\"label\": {\"en\": [" + JsonString(label) + "]}, \"value\": {\"none\": [" +
           JsonString(value) + "]}}";
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = Utf8Length(text, i);
            out += length ? text.substr(i, length) : "\\ufffd";
            i += length ? length : 1;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string InfoJson(const SlideFacts& facts, std::string_view id, const Limits& limits,
                     const std::vector<std::string>& routeFeatures) {
    std::string sizes;
    for (const auto& [width, height] : CheapSizes(facts, limits))
        sizes += (sizes.empty() ? "" : ", ") + Size(width, height);
    std::string factors;
    for (const int64_t factor : ScaleFactors(facts))
        factors += (factors.empty() ? "" : ", ") + Number(factor);
    const auto [tileWidth, tileHeight] = TileSize(facts, limits);
    std::vector<std::string> features = {"mirroring"};
    features.insert(features.end(), routeFeatures.begin(), routeFeatures.end());
    // jpg and png are both level 2's formats, so extraFormats would be empty and is left out.
    return std::string("{\n") +                                      //
           "  \"@context\": " + JsonString(kImageContext) + ",\n" +  //
           "  \"id\": " + JsonString(id) + ",\n" +                   //
           "  \"type\": \"ImageService3\",\n" +                      //
           "  \"protocol\": \"http://iiif.io/api/image\",\n" +       //
           "  \"profile\": \"level2\",\n" +                          //
           "  \"width\": " + Number(facts.width) + ",\n" +           //
           "  \"height\": " + Number(facts.height) + ",\n" +         //
           "  \"maxWidth\": " + Number(limits.maxWidth) + ",\n" +    //
           "  \"maxHeight\": " + Number(limits.maxHeight) + ",\n" +  //
           "  \"maxArea\": " + Number(limits.maxArea) + ",\n" +      //
           "  \"sizes\": [" + sizes + "],\n" +                       //
           "  \"tiles\": [{\"width\": " + Number(tileWidth) +
           ", \"height\": " + Number(tileHeight) + ", \"scaleFactors\": [" + factors + "]}],\n" +
           "  \"extraQualities\": [\"bitonal\"],\n" +  //
           "  \"extraFeatures\": " + Strings(features) + "\n}\n";
}

std::pair<int64_t, int64_t> ThumbnailSize(const SlideFacts& facts, const Limits& limits) {
    const auto sizes = CheapSizes(facts, limits);
    for (auto size = sizes.rbegin(); size != sizes.rend(); ++size)
        if (size->first <= 512 && size->second <= 512) return *size;
    if (!sizes.empty()) return sizes.front();
    int64_t width = 0, height = 0;
    FitWithin(facts.width, facts.height, std::min(facts.width, limits.maxWidth),
              std::min(facts.height, limits.maxHeight), limits.maxArea, &width, &height);
    return {width, height};
}

std::string ManifestJson(const SlideFacts& facts, const ManifestIds& ids, const Limits& limits) {
    const auto [thumbWidth, thumbHeight] = ThumbnailSize(facts, limits);
    const std::string canvas = ids.service + "/canvas/1";
    std::string metadata;
    const auto add = [&metadata](const char* label, const std::string& value) {
        metadata += (metadata.empty() ? "" : ", ") + MetadataEntry(label, value);
    };
    if (facts.mppX > 0) add("Micrometres per pixel (x)", Number(facts.mppX));
    if (facts.mppY > 0) add("Micrometres per pixel (y)", Number(facts.mppY));
    if (facts.objectivePower > 0) add("Objective power", Number(facts.objectivePower));
    const std::string size =
        "\"width\": " + Number(facts.width) + ", \"height\": " + Number(facts.height);
    return std::string("{\n") +                                             //
           "  \"@context\": " + JsonString(kPresentationContext) + ",\n" +  //
           "  \"id\": " + JsonString(ids.manifest) + ",\n" +                //
           "  \"type\": \"Manifest\",\n" +                                  //
           "  \"label\": {\"none\": [" + JsonString(ids.label) + "]},\n" +  //
           "  \"metadata\": [" + metadata + "],\n" +                        //
           "  \"thumbnail\": [" +
           ImageResource(
               ids.service,
               "full/" + Number(thumbWidth) + "," + Number(thumbHeight) + "/0/default.jpg",
               thumbWidth, thumbHeight) +
           "],\n" + "  \"items\": [{\"id\": " + JsonString(canvas) + ", \"type\": \"Canvas\", " +
           size + ", \"items\": [{\"id\": " + JsonString(canvas + "/page/1") +
           ", \"type\": \"AnnotationPage\", \"items\": [{\"id\": " +
           JsonString(canvas + "/annotation/1") +
           ", \"type\": \"Annotation\", \"motivation\": \"painting\", \"target\": " +
           JsonString(canvas) + ", \"body\": " +
           ImageResource(ids.service, "full/max/0/default.jpg", facts.width, facts.height) +
           "}]}]}]\n}\n";
}

}  // namespace tarncli::iiif
