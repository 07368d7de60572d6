// Who may be answered. With a token, every request must carry it: as the `token` query
// parameter, the cookie a page opened with it received, an X-Tarn-Token header or an
// `Authorization: Bearer` header (the one way open to cross-origin viewers, which send no cookie,
// and to pages of other servers on the same host, which the cookie would reach as well). Without
// one (on loopback) requests must name the server by a loopback host name, so that a web page
// whose own name resolves to 127.0.0.1 cannot read the slides.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http/Request.h"

namespace tarncli::serve::http {

// Compares without stopping at the first difference, so that timing tells nothing of the token.
bool SameToken(std::string_view given, std::string_view token);

// Whether `request` carries `token` in any of its four places.
bool HasToken(const HttpRequest& request, std::string_view token);

// True for a Host header naming a loopback address or localhost (any port), or none at all.
bool LoopbackHost(const std::optional<std::string>& host);

// The token's cookie is named after the server's port, so that servers on several ports of one
// host do not overwrite each other's. It does not keep them apart otherwise: browsers send a
// host's cookies to every port of it.
std::string TokenCookieName(int port);

// The Set-Cookie value that keeps `token` for what a page loads next.
std::string TokenCookie(int port, std::string_view token);

}  // namespace tarncli::serve::http
