// A request as the routes see it: the method, the path split into percent-decoded segments, the
// query's parameters, and the headers the server acts on. Parsed from the raw request target
// before anything else looks at it; a target that could mean two things is refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarncli::serve::http {

enum class Method { Get, Head, Options, Other };

Method MethodOf(std::string_view name);

struct HttpRequest {
    Method method = Method::Get;
    std::string target;                 // as the client sent it
    std::vector<std::string> segments;  // "/" gives none, "/a/" gives "a" and ""
    std::vector<std::pair<std::string, std::string>> query;  // decoded, in the order sent

    // The headers acted on, absent when not sent.
    std::optional<std::string> host, accept, range, ifRange, ifNoneMatch, authorization, origin;
    std::optional<std::string> tarnToken;    // X-Tarn-Token
    std::optional<std::string> cookieToken;  // the token's cookie of this server's port
    std::optional<std::string> corsMethod;   // Access-Control-Request-Method, of a preflight
};

// Longest request target accepted, query included.
constexpr size_t kMaxUrlLength = 2048;

// Fills the path and query of `request` from the raw target. False for a target no route could
// take as it is: too long, not starting with '/', a raw space, control character or non-ASCII
// byte, a broken or forbidden escape (an encoded '/' or '\', NUL or another control character),
// or a "." or ".." segment.
bool ParseTarget(std::string_view raw, HttpRequest* request);

// The value of the last query parameter named `name`, or null.
const std::string* QueryValue(const HttpRequest& request, std::string_view name);

// A number as paths carry them: decimal digits without sign or leading zeros, at most 10 of
// them. False otherwise.
bool ParseIndex(std::string_view text, int64_t* value);

}  // namespace tarncli::serve::http
