#include "http/Route.h"

namespace tarncli::serve::http {

namespace {

// One segment of a pattern against one of a path.
bool MatchSegment(std::string_view pattern, std::string_view segment,
                  std::vector<std::string>* captures) {
    const size_t open = pattern.find('{');
    if (open == std::string_view::npos) return pattern == segment;
    const size_t close = pattern.find('}', open);
    if (close == std::string_view::npos) return false;
    const std::string_view prefix = pattern.substr(0, open);
    const std::string_view suffix = pattern.substr(close + 1);
    if (segment.size() < prefix.size() + suffix.size() ||
        segment.substr(0, prefix.size()) != prefix ||
        segment.substr(segment.size() - suffix.size()) != suffix)
        return false;
    captures->emplace_back(
        segment.substr(prefix.size(), segment.size() - prefix.size() - suffix.size()));
    return true;
}

}  // namespace

bool MatchPath(std::string_view pattern, const std::vector<std::string>& segments,
               std::vector<std::string>* captures) {
    captures->clear();
    if (pattern.empty() || pattern[0] != '/') return false;
    pattern.remove_prefix(1);
    size_t index = 0;
    while (!pattern.empty()) {
        const size_t slash = pattern.find('/');
        const std::string_view piece = pattern.substr(0, slash);
        const bool last = slash == std::string_view::npos;
        if (last && piece.size() > 3 && piece.front() == '{' &&
            piece.substr(piece.size() - 2) == "*}") {
            if (index >= segments.size()) return false;
            std::string rest;
            for (size_t i = index; i < segments.size(); ++i)
                rest += (i > index ? "/" : "") + segments[i];
            captures->push_back(std::move(rest));
            return true;
        }
        if (index >= segments.size() || !MatchSegment(piece, segments[index], captures))
            return false;
        ++index;
        if (last) break;
        pattern.remove_prefix(slash + 1);
    }
    return index == segments.size();
}

const Route* FindRoute(const std::vector<Route>& routes, const HttpRequest& request,
                       std::vector<std::string>* captures) {
    const bool preflight = request.method == Method::Options;
    for (const Route& route : routes)
        if ((preflight || route.method == request.method ||
             (route.method == Method::Get && request.method == Method::Head)) &&
            MatchPath(route.pattern, request.segments, captures))
            return &route;
    captures->clear();
    return nullptr;
}

}  // namespace tarncli::serve::http
