// Cross-origin use: which routes a page of another origin may read, and the headers that let its
// browser do so. Each route declares how open it is; the server's policy (--cors) names the
// origins. A preflight (OPTIONS) is answered without the token, which browsers never send on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http/Request.h"

namespace tarncli::serve::http {

enum class CrossOrigin {
    No,              // same-origin pages only (the viewer's pages, the status)
    WhenConfigured,  // only for origins named with --cors (Deep Zoom, associated images)
    Yes,             // for the policy's origins, by default any without a token (IIIF, DICOMweb)
};

struct CorsPolicy {
    std::string origins;      // "*", or origins joined by ','; empty: none
    bool configured = false;  // named with --cors rather than by default
};

// --cors ORIGIN given or not (`given` null): its origins, else "*" when no token is required and
// none when one is (a page elsewhere holding the token can still be named with --cors).
CorsPolicy MakeCorsPolicy(const std::string* given, bool tokenRequired);

// "*", or origins (scheme://host[:port], http or https) joined by ','.
bool ValidCorsOrigins(std::string_view text);

// The headers of one answer. Empty `allowOrigin`: none sent.
struct CorsAnswer {
    std::string allowOrigin;
    bool varyOrigin = false;  // the answer depends on the Origin header
    bool Open() const { return !allowOrigin.empty(); }
};

// Whether a route of `route` openness takes part in cross-origin use under `policy` at all.
bool CorsApplies(const CorsPolicy& policy, CrossOrigin route);

// What to send for a request from `origin` (absent: same-origin or not a browser).
CorsAnswer CorsFor(const CorsPolicy& policy, CrossOrigin route,
                   const std::optional<std::string>& origin);

// Headers a preflight answer adds to the allowed origin.
inline constexpr const char* kCorsAllowMethods = "GET, HEAD";
inline constexpr const char* kCorsAllowHeaders =
    "Authorization, X-Tarn-Token, Range, If-None-Match, If-Range, Accept";
inline constexpr const char* kCorsExposeHeaders =
    "ETag, Content-Length, Content-Range, Accept-Ranges, Retry-After";
inline constexpr const char* kCorsMaxAge = "600";

}  // namespace tarncli::serve::http
