// How routes reach the slide a request names: a look for answers made at start or cached, and a
// hold with a seat (Seats.h) for answers that read the slide.
#pragma once

#include <memory>
#include <string_view>

#include "Seats.h"
#include "Server.h"
#include "http/Route.h"

namespace tarncli::serve {

// The slide named `name` for an answer that reads nothing of it (Server::Look); null when none.
std::shared_ptr<ServedSlide> LookSlide(Server& server, std::string_view name);

struct HeldSlide {
    std::shared_ptr<ServedSlide> slide;
    SlideSeat seat;
};

// The slide named `name` with a seat held for reading it: true with `held` filled. Otherwise false
// with the answer to give instead: not found, or, while its seats are all taken, a wait for one
// (up to kSeatWait) and then 503 with Retry-After.
bool HoldSlide(Server& server, const http::Call& call, std::string_view name, HeldSlide* held,
               http::Answer* instead);

inline constexpr std::chrono::seconds kSeatWait{5};

// "http://HOST" of the request's Host header, for the absolute URLs of the IIIF and DICOMweb
// documents; false when it has none, or one that is not a plain host name or address with an
// optional port (no URL may carry what a client wrote there).
bool RequestOrigin(const http::HttpRequest& request, std::string* origin);

bool EndsWith(std::string_view text, std::string_view suffix);

}  // namespace tarncli::serve
