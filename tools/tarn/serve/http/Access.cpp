#include "http/Access.h"

#include <cctype>

namespace tarncli::serve::http {

bool SameToken(std::string_view given, std::string_view token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

namespace {

// The credentials of an Authorization header of the Bearer scheme (named in any case), or null.
std::optional<std::string_view> BearerToken(std::string_view header) {
    constexpr std::string_view kScheme = "bearer";
    if (header.size() <= kScheme.size() || header[kScheme.size()] != ' ') return std::nullopt;
    for (size_t i = 0; i < kScheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) return std::nullopt;
    header.remove_prefix(kScheme.size());
    while (!header.empty() && header.front() == ' ')
        header.remove_prefix(1);
    while (!header.empty() && header.back() == ' ')
        header.remove_suffix(1);
    return header;
}

}  // namespace

bool HasToken(const HttpRequest& request, std::string_view token) {
    const std::string* query = QueryValue(request, "token");
    if (query != nullptr && !query->empty() && SameToken(*query, token)) return true;
    if (request.cookieToken && SameToken(*request.cookieToken, token)) return true;
    if (request.tarnToken && SameToken(*request.tarnToken, token)) return true;
    if (!request.authorization) return false;
    const std::optional<std::string_view> bearer = BearerToken(*request.authorization);
    return bearer && SameToken(*bearer, token);
}

bool LoopbackHost(const std::optional<std::string>& host) {
    if (!host) return true;
    std::string_view name = *host;
    if (name.substr(0, 6) == "[::1]:" || name == "[::1]") return true;
    name = name.substr(0, name.find(':'));
    if (name == "localhost") return true;
    if (name.substr(0, 4) != "127.") return false;
    return name.find_first_not_of("0123456789.") == std::string_view::npos;
}

std::string TokenCookieName(int port) {
    return "tarn_token_" + std::to_string(port);
}

std::string TokenCookie(int port, std::string_view token) {
    return TokenCookieName(port) + "=" + std::string(token) + "; Path=/; HttpOnly; SameSite=Strict";
}

}  // namespace tarncli::serve::http
