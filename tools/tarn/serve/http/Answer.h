// What a route answers, and the headers that answer goes out with: caching, the ETag and 304,
// byte ranges, cross-origin headers, the security headers of pages. Everything here is decided
// without the network, so that it can be checked as plain values.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/Cors.h"
#include "http/Encoded.h"
#include "http/Request.h"

namespace tarncli::serve::http {

using Clock = std::chrono::steady_clock;

enum class Caching { None, Revalidate, SlideData, Static };

// A body made a piece at a time while the client reads it (a whole DICOM instance, say), rather
// than held whole. The server keeps the connection only while the client takes the pieces: one
// that stops reading for the request timeout is dropped.
struct Stream {
    // Writes the piece at `offset` into `buffer` (at most `room` bytes, room > 0): the bytes
    // written, at least 1; 0 when the body is complete; -1 to break the answer off (the client
    // sees a short body). Runs on a worker, once at a time per answer.
    std::function<int64_t(uint64_t offset, char* buffer, size_t room)> next;
    static constexpr uint64_t kUnknownSize = UINT64_MAX;
    uint64_t size = kUnknownSize;  // sent chunked when unknown
};

// An answer that cannot be given yet. The request is set aside (its worker goes on with others)
// until `ready` says so or `until`, and then routed again as if it had just arrived, with
// Call::mayWait false once its time is up.
struct Defer {
    std::function<bool()> ready;  // polled on another thread: keep it cheap and thread-safe
    Clock::time_point until;
};

struct Answer {
    int status = 200;
    std::string type = "text/plain; charset=utf-8";
    EncodedPtr body;                       // or:
    std::shared_ptr<const Stream> stream;  // a body made while it is sent
    Caching caching = Caching::None;
    bool sendEtag = false;  // with a 304 to a client that holds the body
    bool ranges = false;    // a Range request gets the part it names
    std::string allow, setCookie;
    int retryAfterSeconds = 0;                                 // sent when positive
    std::vector<std::pair<std::string, std::string>> headers;  // more, sent last
    Defer defer;  // when `defer.ready` is set, nothing else counts
};

Answer Text(int status, const std::string& text);
Answer Content(EncodedPtr body, std::string_view type, Caching caching);
Answer NotFound();
Answer Later(std::function<bool()> ready, Clock::time_point until);
Answer Busy(const std::string& text, int retryAfterSeconds);  // 503 with Retry-After

// True when `list`, an If-None-Match header value, names `etag` (strong or weak), or is "*".
bool MatchesEtag(std::string_view list, std::string_view etag);

// The part of a body of `size` bytes that a Range header asks for.
struct ByteRange {
    enum Kind { Whole, Part, Unsatisfiable } kind = Whole;
    uint64_t first = 0, length = 0;
};
// One range of bytes=FIRST-LAST, FIRST- or -SUFFIX; anything else (several ranges, other units,
// a malformed header) is answered with the whole body, as HTTP allows.
ByteRange RangeOf(std::string_view header, uint64_t size);

// An answer as it goes out: status, headers in order, and the part of the body sent.
struct Outgoing {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    bool hasBody = true;  // false: none at all (304, 204, 416)
    uint64_t first = 0;   // of the body's bytes sent (a buffer body)
    uint64_t length = 0;
};

// `privately`: a token guards the server, so shared caches must not keep its answers.
Outgoing Finish(const Answer& answer, const HttpRequest& request, bool privately,
                const CorsAnswer& cors);

// The answer to a preflight of a route that allows cross-origin use.
Answer Preflight(const CorsAnswer& cors);

}  // namespace tarncli::serve::http
