#include "Pages.h"

#include <cstdio>

#include "Server.h"
#include "ServeAssets.h"
#include "util/Markup.h"

namespace tarncli::serve {

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0.
size_t Utf8Length(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2, code = lead & 0x1f;
    else if (lead >= 0xe0 && lead <= 0xef)
        length = 3, code = lead & 0x0f;
    else if (lead >= 0xf0 && lead <= 0xf4)
        length = 4, code = lead & 0x07;
    else
        return 0;
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3f);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    return overlong || surrogate || code > 0x10ffff ? 0 : length;
}

std::string Replace(std::string text, std::string_view key, std::string_view value) {
    for (size_t at = text.find(key); at != std::string::npos;
         at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
    return text;
}

std::string Template(std::string_view name) {
    const EmbeddedFile* file = FindEmbeddedFile(name);
    return file != nullptr ? std::string(file->bytes) : std::string();
}

std::string Property(const ServedSlide& slide, const std::string& name) {
    const auto it = slide.properties.find(name);
    return it != slide.properties.end() ? it->second : std::string();
}

std::string ThumbnailUrl(const ServedSlide& slide) {
    return "/deepzoom/" + slide.name + "_files/" + std::to_string(slide.thumbnailLevel) +
           "/0_0.jpeg";
}

std::string SlideCard(const ServedSlide& slide) {
    int64_t width = 0, height = 0;
    tarn_get_level0_dimensions(slide.slide, &width, &height);
    std::string facts = "<dt>Size</dt><dd>" + std::to_string(width) + " &times; " +
                        std::to_string(height) + " px</dd>";
    const auto fact = [&](const char* label, const std::string& value, const char* unit) {
        if (!value.empty())
            facts += std::string("<dt>") + label + "</dt><dd>" + tarn::MarkupEscape(value) + unit +
                     "</dd>";
    };
    fact("Resolution", Property(slide, "openslide.mpp-x"), " &micro;m/px");
    fact("Objective", Property(slide, "openslide.objective-power"), "&times;");
    fact("Levels", Property(slide, "openslide.level-count"), "");
    std::string images;
    for (const std::string& image : slide.images)
        images += (images.empty() ? "" : ", ") + image;
    fact("Images", images, "");
    const std::string name = tarn::MarkupEscape(slide.name);
    // The IIIF links sit beside the viewer's link, not inside it: links do not nest.
    return "<div class=\"card\"><a href=\"/view/" + name + "\"><img src=\"" + ThumbnailUrl(slide) +
           "\" alt=\"\"><h2>" + name + "</h2><dl>" + facts +
           "</dl></a><p class=\"links\">IIIF: <a href=\"/iiif/3/" + name +
           "/info.json\">info.json</a>, <a href=\"/iiif/3/" + name +
           "/manifest.json\">manifest</a></p></div>\n";
}

}  // namespace

std::string JsonQuote(std::string_view text) {
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
        } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
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

std::string IndexPage(const std::vector<std::shared_ptr<ServedSlide>>& slides) {
    std::string cards;
    for (const auto& slide : slides)
        cards += SlideCard(*slide);
    const size_t count = slides.size();
    return Replace(Replace(Template("index.html"), "{{COUNT}}",
                           std::to_string(count) + (count == 1 ? " slide" : " slides")),
                   "{{SLIDES}}", cards);
}

std::string ViewerPage(const ServedSlide& slide) {
    std::string images;
    for (const std::string& image : slide.images)
        images += std::string(images.empty() ? "" : ", ") + "{\"name\": " + JsonQuote(image) +
                  ", \"url\": " + JsonQuote("/associated/" + slide.name + "/" + image + ".jpeg") +
                  "}";
    const std::string config =
        "{\"name\": " + JsonQuote(slide.name) +
        ", \"dzi\": " + JsonQuote("/deepzoom/" + slide.name + ".dzi") +
        ", \"properties\": " + JsonQuote("/properties/" + slide.name + ".json") +
        ", \"images\": [" + images + "]}";
    return Replace(Replace(Template("viewer.html"), "{{TITLE}}", tarn::MarkupEscape(slide.name)),
                   "{{CONFIG}}", config);
}

std::string PropertiesJson(const ServedSlide& slide) {
    std::string images, properties;
    for (const std::string& image : slide.images)
        images += (images.empty() ? "" : ", ") + JsonQuote(image);
    for (const auto& [name, value] : slide.properties)
        properties +=
            (properties.empty() ? "\n  " : ",\n  ") + JsonQuote(name) + ": " + JsonQuote(value);
    return "{\"name\": " + JsonQuote(slide.name) + ", \"associated\": [" + images +
           "], \"properties\": {" + properties + "\n}}\n";
}

}  // namespace tarncli::serve
