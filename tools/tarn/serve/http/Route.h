// Routes: a method and a path pattern, the handler that answers them, and what they allow (the
// token, cross-origin use). The server keeps one table of them; a request goes to the first row
// that matches it, and to "not found" when none does.
//
// Patterns are paths of segments. A segment is literal ("status"), or holds one capture between
// an optional literal prefix and suffix ("{slide}.dzi", "{slide}_files", "{tile}.jpeg"), which
// takes the rest of the segment, perhaps nothing; a last segment "{name*}" takes one segment or
// more, joined with '/'. "/" is the path of no segments.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "http/Answer.h"
#include "http/Cors.h"
#include "http/Request.h"

namespace tarncli::serve::http {

// What a handler is given: the request, the pattern's captures in order, and whether it may
// still defer its answer.
struct Call {
    const HttpRequest& request;
    const std::vector<std::string>& captures;
    bool mayWait = true;
};

using Handler = std::function<Answer(const Call&)>;

struct Route {
    const char* pattern;
    Handler handler;
    const char* counter;  // the name its requests are counted under in /status
    CrossOrigin crossOrigin = CrossOrigin::No;
    bool needsToken = true;       // when the server has a token
    Method method = Method::Get;  // GET routes answer HEAD too
    size_t counterIndex = 0;      // filled when the table is made
};

// Whether `segments` match `pattern`; the captures in `captures`.
bool MatchPath(std::string_view pattern, const std::vector<std::string>& segments,
               std::vector<std::string>* captures);

// The first route of `routes` for the method and path of `request` (a preflight's: any route of
// the path), or null.
const Route* FindRoute(const std::vector<Route>& routes, const HttpRequest& request,
                       std::vector<std::string>* captures);

}  // namespace tarncli::serve::http
