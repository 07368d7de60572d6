#include "util/Names.h"

#include <cctype>

namespace tarn {

bool IsUrl(const std::string& name) {
    const size_t colon = name.find("://");
    if (colon == std::string::npos) return false;
    std::string scheme = name.substr(0, colon);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https" || scheme == "s3";
}

std::string ShownName(const std::string& name) {
    if (!IsUrl(name)) return name;
    std::string shown = name.substr(0, name.find_first_of("?#"));
    const size_t authority = shown.find("://") + 3;
    const size_t path = shown.find('/', authority);
    const size_t at = shown.rfind('@', path == std::string::npos ? std::string::npos : path);
    if (at != std::string::npos && at >= authority) shown.erase(authority, at + 1 - authority);
    return shown;
}

std::string SlideStem(const std::string& path) {
    const std::string shown = ShownName(path);
    std::string name = shown.substr(shown.find_last_of('/') + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    if (name.find_first_not_of('.') == std::string::npos) name = "slide";  // "", ".", ".."
    return name;
}

}  // namespace tarn
