#include "http/Answer.h"

namespace tarncli::serve::http {

namespace {

const char* CacheControl(Caching caching, bool privately) {
    switch (caching) {
        case Caching::None:
            return "no-store";
        case Caching::Revalidate:
            return privately ? "private, no-cache" : "no-cache";
        case Caching::SlideData:
            return privately ? "private, max-age=600" : "max-age=600";
        case Caching::Static:
            return privately ? "private, max-age=3600" : "max-age=3600";
    }
    return "no-store";
}

constexpr const char* kPageSecurityPolicy =
    "default-src 'self'; img-src 'self' data: blob:; style-src 'self' 'unsafe-inline'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A decimal number of at most 19 digits; false otherwise.
bool ParseCount(std::string_view text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t parsed = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        parsed = parsed * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = parsed;
    return true;
}

}  // namespace

Answer Text(int status, const std::string& text) {
    Answer answer;
    answer.status = status;
    answer.body = MakeEncoded(text + "\n");
    return answer;
}

Answer Content(EncodedPtr body, std::string_view type, Caching caching) {
    Answer answer;
    answer.type = type;
    answer.body = std::move(body);
    answer.caching = caching;
    answer.sendEtag = true;
    return answer;
}

Answer NotFound() {
    return Text(404, "not found");
}

Answer Later(std::function<bool()> ready, Clock::time_point until) {
    Answer answer;
    answer.defer = Defer{std::move(ready), until};
    return answer;
}

Answer Busy(const std::string& text, int retryAfterSeconds) {
    Answer answer = Text(503, text);
    answer.retryAfterSeconds = retryAfterSeconds;
    return answer;
}

bool MatchesEtag(std::string_view list, std::string_view etag) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        std::string_view item = Trimmed(list.substr(0, comma));
        if (item.substr(0, 2) == "W/") item.remove_prefix(2);
        if (item == "*" || item == etag) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

ByteRange RangeOf(std::string_view header, uint64_t size) {
    ByteRange whole;
    header = Trimmed(header);
    if (header.substr(0, 6) != "bytes=") return whole;
    const std::string_view wanted = Trimmed(header.substr(6));
    const size_t dash = wanted.find('-');
    if (dash == std::string_view::npos || wanted.find(',') != std::string_view::npos) return whole;
    const std::string_view from = Trimmed(wanted.substr(0, dash));
    const std::string_view to = Trimmed(wanted.substr(dash + 1));
    uint64_t first = 0, last = 0;
    if (from.empty()) {
        // The last `to` bytes.
        if (!ParseCount(to, &last)) return whole;
        if (last == 0 || size == 0) return ByteRange{ByteRange::Unsatisfiable, 0, 0};
        const uint64_t length = last < size ? last : size;
        return ByteRange{ByteRange::Part, size - length, length};
    }
    if (!ParseCount(from, &first) || (!to.empty() && !ParseCount(to, &last))) return whole;
    if (to.empty()) last = UINT64_MAX;
    if (last < first) return whole;
    if (first >= size) return ByteRange{ByteRange::Unsatisfiable, 0, 0};
    if (last >= size) last = size - 1;
    return ByteRange{ByteRange::Part, first, last - first + 1};
}

Outgoing Finish(const Answer& answer, const HttpRequest& request, bool privately,
                const CorsAnswer& cors) {
    Outgoing out;
    out.status = answer.status;
    const uint64_t size = answer.body ? answer.body->bytes.size() : 0;
    out.length = size;
    const bool etag = answer.sendEtag && answer.body != nullptr;
    const bool ok = answer.status == 200;
    ByteRange range;
    if (etag && ok && request.ifNoneMatch && MatchesEtag(*request.ifNoneMatch, answer.body->etag)) {
        out.status = 304;
    } else if (answer.ranges && ok && answer.body && request.range &&
               (!request.ifRange || *request.ifRange == answer.body->etag)) {
        range = RangeOf(*request.range, size);
        if (range.kind == ByteRange::Part) {
            out.status = 206;
            out.first = range.first;
            out.length = range.length;
        } else if (range.kind == ByteRange::Unsatisfiable) {
            out.status = 416;
        }
    }
    out.hasBody = out.status != 304 && out.status != 204 && out.status != 416;
    if (!out.hasBody) out.length = 0;

    out.headers.reserve(10 + answer.headers.size());
    const auto add = [&](std::string name, std::string value) {
        out.headers.emplace_back(std::move(name), std::move(value));
    };
    const bool page = answer.type.substr(0, 9) == "text/html";
    if (out.hasBody) add("Content-Type", answer.type);
    if (etag) add("ETag", answer.body->etag);
    add("Cache-Control", CacheControl(answer.caching, privately));
    add("X-Content-Type-Options", "nosniff");
    add("Referrer-Policy", "no-referrer");
    if (page) add("Content-Security-Policy", kPageSecurityPolicy);
    if (!answer.allow.empty()) add("Allow", answer.allow);
    if (!answer.setCookie.empty()) add("Set-Cookie", answer.setCookie);
    if (answer.retryAfterSeconds > 0) add("Retry-After", std::to_string(answer.retryAfterSeconds));
    if (answer.ranges) add("Accept-Ranges", "bytes");
    if (out.status == 206)
        add("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                 std::to_string(range.first + range.length - 1) + "/" +
                                 std::to_string(size));
    if (out.status == 416) add("Content-Range", "bytes */" + std::to_string(size));
    if (cors.Open()) {
        add("Access-Control-Allow-Origin", cors.allowOrigin);
        add("Access-Control-Expose-Headers", kCorsExposeHeaders);
    }
    if (cors.varyOrigin) add("Vary", "Origin");
    for (const auto& [name, value] : answer.headers)
        add(name, value);
    return out;
}

Answer Preflight(const CorsAnswer& cors) {
    Answer answer;
    answer.status = 204;
    answer.allow = "GET, HEAD, OPTIONS";
    if (cors.Open()) {
        answer.headers = {{"Access-Control-Allow-Methods", kCorsAllowMethods},
                          {"Access-Control-Allow-Headers", kCorsAllowHeaders},
                          {"Access-Control-Max-Age", kCorsMaxAge}};
    }
    return answer;
}

}  // namespace tarncli::serve::http
