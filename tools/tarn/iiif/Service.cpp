#include "iiif/Service.h"

#include <cctype>

namespace tarncli::iiif {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// "q=0", "q=0.0", "q=0.000": the client refuses the type.
bool Refused(std::string_view parameter) {
    const size_t equals = parameter.find('=');
    if (equals == std::string_view::npos ||
        !EqualsIgnoringCase(Trim(parameter.substr(0, equals)), "q"))
        return false;
    const std::string_view value = Trim(parameter.substr(equals + 1));
    if (value.empty() || value[0] != '0') return false;
    return value.find_first_not_of("0.", 1) == std::string_view::npos;
}

}  // namespace

Resource ClassifyPath(const std::vector<std::string>& rest) {
    if (rest.empty()) return Resource::Base;
    if (rest.size() == 1 && rest[0] == "info.json") return Resource::Info;
    if (rest.size() == 1 && rest[0] == "manifest.json") return Resource::Manifest;
    if (rest.size() == 4) return Resource::Image;
    return Resource::NotFound;
}

const char* InfoContentType(std::string_view accept) {
    // Media ranges split by commas, each a type and parameters split by semicolons.
    for (size_t start = 0; start <= accept.size();) {
        size_t end = accept.find(',', start);
        if (end == std::string_view::npos) end = accept.size();
        const std::string_view range = accept.substr(start, end - start);
        start = end + 1;
        size_t at = range.find(';');
        if (!EqualsIgnoringCase(Trim(range.substr(0, at)), "application/ld+json")) continue;
        bool refused = false;
        while (at != std::string_view::npos) {
            const size_t next = range.find(';', at + 1);
            refused = refused || Refused(range.substr(at + 1, next - at - 1));
            at = next;
        }
        if (!refused) return kJsonLdInfoType;
    }
    return "application/json";
}

ServiceUris MakeServiceUris(std::string_view origin, std::string_view name) {
    ServiceUris uris;
    uris.service = std::string(origin) + "/iiif/3/" + std::string(name);
    uris.info = uris.service + "/info.json";
    uris.manifest = uris.service + "/manifest.json";
    return uris;
}

}  // namespace tarncli::iiif
