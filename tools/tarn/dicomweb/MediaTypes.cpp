#include "dicomweb/MediaTypes.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace tarncli::dicomweb {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Splits at `separator` outside quoted strings.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == separator) {
            pieces.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::string Unquote(std::string_view value) {
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::string(value);
    std::string plain;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && i + 2 < value.size()) ++i;
        plain.push_back(value[i]);
    }
    return plain;
}

bool ParseRange(std::string_view text, MediaRange* range) {
    const std::vector<std::string_view> pieces = SplitOutsideQuotes(text, ';');
    const std::string type = Lower(Trim(pieces[0]));
    const size_t slash = type.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == type.size() ||
        type.find('/', slash + 1) != std::string::npos) {
        return false;
    }
    range->type = type;
    for (size_t i = 1; i < pieces.size(); ++i) {
        const std::string_view parameter = Trim(pieces[i]);
        const size_t equals = parameter.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string name = Lower(Trim(parameter.substr(0, equals)));
        const std::string value = Unquote(Trim(parameter.substr(equals + 1)));
        if (name == "q") {
            char* end = nullptr;
            const double q = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || !(q >= 0 && q <= 1)) return false;
            range->q = q;
        } else {
            range->parameters.emplace_back(name, value);
        }
    }
    return true;
}

// Whether the range `pattern` ("*/*", "image/*", "image/jpeg") takes `type`.
bool TypeMatches(std::string_view pattern, std::string_view type) {
    if (pattern == "*/*" || pattern == type) return true;
    if (pattern.size() < 2 || pattern.substr(pattern.size() - 2) != "/*") return false;
    const std::string_view major = pattern.substr(0, pattern.size() - 1);  // "image/"
    return type.substr(0, major.size()) == major;
}

bool Takes(const MediaRange& range, const Offer& offer) {
    if (!TypeMatches(range.type, offer.type)) return false;
    if (const std::string* syntax = range.Parameter("transfer-syntax")) {
        if (*syntax != "*" && *syntax != kJpegTransferSyntax) return false;
    }
    if (const std::string* related = range.Parameter("type")) {
        // The parts' type only means something to multipart/related.
        if (!offer.related.empty() && !TypeMatches(Lower(*related), offer.related)) return false;
    }
    return true;
}

}  // namespace

const std::string* MediaRange::Parameter(std::string_view name) const {
    for (const auto& [key, value] : parameters) {
        if (key == name) return &value;
    }
    return nullptr;
}

std::vector<MediaRange> ParseAccept(std::string_view header) {
    std::vector<MediaRange> ranges;
    for (const std::string_view piece : SplitOutsideQuotes(header, ',')) {
        if (Trim(piece).empty()) continue;
        MediaRange range;
        if (ParseRange(piece, &range)) ranges.push_back(std::move(range));
    }
    if (ranges.empty() && Trim(header).empty()) ranges.push_back(MediaRange{"*/*", {}, 1});
    return ranges;
}

int Negotiate(const std::vector<MediaRange>& ranges, const std::vector<Offer>& offers) {
    std::vector<const MediaRange*> order;
    for (const MediaRange& range : ranges) {
        if (range.q > 0) order.push_back(&range);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const MediaRange* a, const MediaRange* b) { return a->q > b->q; });
    for (const MediaRange* range : order) {
        for (size_t i = 0; i < offers.size(); ++i) {
            if (Takes(*range, offers[i])) return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace tarncli::dicomweb
