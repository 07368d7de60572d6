#include "http/Request.h"

#include <cstdint>

namespace tarncli::serve::http {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes `text`; `plusIsSpace` for query values. False for a broken escape or any
// control character, encoded or not.
bool Decode(std::string_view text, bool plusIsSpace, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            c = ' ';
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return false;
        *out += c;
    }
    return true;
}

}  // namespace

Method MethodOf(std::string_view name) {
    if (name == "GET") return Method::Get;
    if (name == "HEAD") return Method::Head;
    if (name == "OPTIONS") return Method::Options;
    return Method::Other;
}

bool ParseTarget(std::string_view raw, HttpRequest* request) {
    if (raw.size() > kMaxUrlLength || raw.empty() || raw[0] != '/') return false;
    // Spaces, control characters and bytes beyond ASCII are sent encoded, or not at all.
    for (const char c : raw)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    request->target = raw;
    const size_t question = raw.find('?');
    const std::string_view path =
        raw.substr(1, question == std::string_view::npos ? std::string_view::npos : question - 1);
    request->segments.clear();
    request->query.clear();
    if (!path.empty()) {
        for (size_t start = 0;;) {
            const size_t slash = path.find('/', start);
            std::string segment;
            if (!Decode(path.substr(start, slash - start), false, &segment) ||
                segment.find_first_of("/\\") != std::string::npos || segment == "." ||
                segment == "..")
                return false;
            request->segments.push_back(std::move(segment));
            if (slash == std::string_view::npos) break;
            start = slash + 1;
        }
    }
    if (question == std::string_view::npos) return true;
    const std::string_view query = raw.substr(question + 1);
    for (size_t start = 0; start <= query.size();) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view pair = query.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) continue;
        const size_t equals = pair.find('=');
        std::string key, value;
        if (!Decode(pair.substr(0, equals), true, &key) ||
            (equals != std::string_view::npos && !Decode(pair.substr(equals + 1), true, &value)))
            return false;
        request->query.emplace_back(std::move(key), std::move(value));
    }
    return true;
}

const std::string* QueryValue(const HttpRequest& request, std::string_view name) {
    for (auto it = request.query.rbegin(); it != request.query.rend(); ++it)
        if (it->first == name) return &it->second;
    return nullptr;
}

bool ParseIndex(std::string_view text, int64_t* value) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
    int64_t parsed = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        parsed = parsed * 10 + (c - '0');
    }
    *value = parsed;
    return true;
}

}  // namespace tarncli::serve::http
