#include "Remote/HttpFetch.h"

#include <curl/curl.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "Remote/ConnectionPool.h"
#include "Remote/HttpAnswer.h"

namespace tarn::remote {
namespace {

std::atomic<uint64_t> requestCount{0};
std::atomic<uint64_t> connectionCount{0};
std::atomic<uint64_t> fetchedBytes{0};

// Retries: up to kMaxAttempts tries, pauses doubling from kFirstPauseMs to kMaxPauseMs (a
// quarter of each drawn at random, so that many readers do not come back at once), and never
// past the call's deadline.
constexpr int kMaxAttempts = 6;
constexpr int64_t kFirstPauseMs = 50;
constexpr int64_t kMaxPauseMs = 2000;
constexpr int64_t kMaxConnectMs = 10'000;
constexpr size_t kErrorBodyBytes = 4096;

std::string LowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// libcurl's writes to a socket the peer closed must not kill the process with SIGPIPE, and
// libcurl must not touch the process's signal handlers from many threads (CURLOPT_NOSIGNAL):
// the signal is blocked on this thread for the transfer and a SIGPIPE it raised is taken back.
struct SigpipeBlock {
    sigset_t previous;
    bool pendingBefore = false;
};

void BlockSigpipe(SigpipeBlock* block) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &block->previous);
    sigset_t pending;
    sigpending(&pending);
    block->pendingBefore = sigismember(&pending, SIGPIPE) == 1;
}

void RestoreSigpipe(const SigpipeBlock& block) {
    sigset_t pending;
    sigpending(&pending);
    if (!block.pendingBefore && sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec now = {0, 0};
        sigtimedwait(&pipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &block.previous, nullptr);
}

// The error code of an S3 error document, when it has a plain one.
std::string S3ErrorCode(const std::string& body) {
    const size_t start = body.find("<Code>");
    const size_t end = body.find("</Code>");
    if (start == std::string::npos || end == std::string::npos || end < start + 6) return "";
    const std::string code = body.substr(start + 6, end - start - 6);
    const bool plain = code.size() <= 64 && std::all_of(code.begin(), code.end(), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.';
                       });
    return plain ? code : "";
}

// A decimal number of at most 18 digits at `text[*at]`, moving `at` past it.
bool TakeNumber(const std::string& text, size_t* at, int64_t* value) {
    const size_t start = *at;
    int64_t number = 0;
    while (*at < text.size() && *at - start < 18 &&
           std::isdigit(static_cast<unsigned char>(text[*at])) != 0)
        number = number * 10 + (text[(*at)++] - '0');
    *value = number;
    return *at > start &&
           (*at == text.size() || std::isdigit(static_cast<unsigned char>(text[*at])) == 0);
}

bool TakeChar(const std::string& text, size_t* at, char c) {
    if (*at >= text.size() || text[*at] != c) return false;
    ++*at;
    return true;
}

bool StrongEtag(const std::string& etag) {
    return !etag.empty() && etag.rfind("W/", 0) != 0;
}

Verdict Fail(RemoteError* error, RemoteStatus status, const FetchTarget& fetch,
             const std::string& what) {
    error->status = status;
    error->message = fetch.target->shownUrl + ": " + what;
    return Verdict::kFail;
}

Verdict Retry(RemoteError* error, RemoteStatus status, const FetchTarget& fetch,
              const std::string& what) {
    Fail(error, status, fetch, what);
    return Verdict::kRetry;
}

std::string AccessDeniedText(const FetchTarget& fetch, const HttpAnswer& answer) {
    const std::string status = "HTTP " + std::to_string(answer.status);
    if (!fetch.target->s3)
        return "access refused (" + status +
               "): the server wants credentials this URL does not carry, or a presigned URL "
               "has expired";
    const std::string code = S3ErrorCode(answer.errorBody);
    const std::string what = "access refused (" + status + (code.empty() ? "" : ", " + code) + ")";
    if (fetch.credentials == nullptr)
        return what +
               ": no AWS credentials were found; set AWS_ACCESS_KEY_ID and "
               "AWS_SECRET_ACCESS_KEY, or a profile in the shared credentials file";
    return what + ": the credentials from " + fetch.credentials->source +
           " were refused for this object; check the key pair, the session token, the region (" +
           fetch.target->region + ") and the bucket's policy";
}

}  // namespace

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    HttpAnswer& answer = *static_cast<HttpAnswer*>(user);
    const size_t bytes = size * count;
    std::string line(data, bytes);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        // A new header block: a redirect's answer is followed by the next one.
        HttpAnswer fresh;
        fresh.dest = answer.dest;
        fresh.capacity = answer.capacity;
        answer = std::move(fresh);
        const size_t space = line.find(' ');
        if (space != std::string::npos)
            answer.status = strtol(line.c_str() + space + 1, nullptr, 10);
        return bytes;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return bytes;
    const std::string name = LowerCase(line.substr(0, colon));
    // A field's value is without the white space around it: a server's padding must not make
    // validators or a Content-Range differ.
    const size_t start = line.find_first_not_of(" \t", colon + 1);
    const size_t end = line.find_last_not_of(" \t");
    const std::string value = start == std::string::npos ? "" : line.substr(start, end + 1 - start);
    if (name == "etag")
        answer.etag = value;
    else if (name == "last-modified")
        answer.lastModified = value;
    else if (name == "content-range")
        answer.contentRange = value;
    else if (name == "content-encoding")
        answer.contentEncoding = LowerCase(value);
    else if (name == "x-amz-bucket-region")
        answer.bucketRegion = value;
    else if (name == "retry-after")
        answer.retryAfter = value;
    return bytes;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    HttpAnswer& answer = *static_cast<HttpAnswer*>(user);
    const size_t bytes = size * count;
    if (answer.status == 200 || answer.status == 206) {
        if (bytes > answer.capacity - answer.received) {
            answer.overflow = true;
            return 0;  // stops the transfer
        }
        memcpy(answer.dest + answer.received, data, bytes);
        answer.received += bytes;
        return bytes;
    }
    if (answer.errorBody.size() < kErrorBodyBytes)
        answer.errorBody.append(data, std::min(bytes, kErrorBodyBytes - answer.errorBody.size()));
    return bytes;
}

// "bytes first-last/total", or "bytes */total" (first and last -1); false when malformed.
bool ParseContentRange(const std::string& text, int64_t* first, int64_t* last, int64_t* total) {
    // Range units ignore case.
    if (LowerCase(text.substr(0, 6)) != "bytes ") return false;
    size_t at = 6;
    if (TakeChar(text, &at, '*')) {
        *first = *last = -1;
    } else if (!TakeNumber(text, &at, first) || !TakeChar(text, &at, '-') ||
               !TakeNumber(text, &at, last) || *first > *last) {
        return false;
    }
    return TakeChar(text, &at, '/') && TakeNumber(text, &at, total) && at == text.size() &&
           *last < *total;
}

// What the answer to a range request means, once it has come in full.
Verdict Judge(const FetchTarget& fetch, const RangeRequest& request, const HttpAnswer& answer,
              ObjectVersion* learned, uint64_t* received, RemoteError* error) {
    const bool opening = request.expected == nullptr;
    switch (answer.status) {
        case 200:
        case 206:
            break;
        case 412:
            return Fail(error, RemoteStatus::kObjectChanged, fetch,
                        "the object changed on the server since it was opened");
        case 404:
            if (opening)
                return Fail(error, RemoteStatus::kNotFound, fetch, "no such object (HTTP 404)");
            return Fail(error, RemoteStatus::kObjectChanged, fetch,
                        "the object is gone from the server since it was opened");
        case 401:
        case 403:
            return Fail(error, RemoteStatus::kAccessDenied, fetch, AccessDeniedText(fetch, answer));
        case 416: {
            int64_t first = 0;
            int64_t last = 0;
            int64_t total = 0;
            if (opening && ParseContentRange(answer.contentRange, &first, &last, &total) &&
                total == 0) {
                *learned = ObjectVersion{0, answer.etag, answer.lastModified};
                *received = 0;
                return Verdict::kDone;
            }
            if (opening)
                return Fail(error, RemoteStatus::kBadResponse, fetch,
                            "the server refused the range (HTTP 416)");
            return Fail(error, RemoteStatus::kObjectChanged, fetch,
                        "the object is shorter than when it was opened");
        }
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            return Retry(error, RemoteStatus::kNetwork, fetch,
                         "the server is unavailable (HTTP " + std::to_string(answer.status) + ")");
        case 301:
        case 302:
        case 307:
        case 308:
            if (!answer.bucketRegion.empty())
                return Fail(error, RemoteStatus::kBadResponse, fetch,
                            "the bucket is in region " + answer.bucketRegion +
                                " (set AWS_REGION=" + answer.bucketRegion + ")");
            // Other requests follow redirects: one that reaches here had nowhere to go.
            return Fail(error, RemoteStatus::kBadResponse, fetch,
                        "the server redirects (HTTP " + std::to_string(answer.status) +
                            (fetch.target->s3 ? ") where signed requests cannot follow"
                                              : ") without a location to follow"));
        default:
            return Fail(error, RemoteStatus::kBadResponse, fetch,
                        "unexpected answer HTTP " + std::to_string(answer.status));
    }

    if (!answer.contentEncoding.empty() && answer.contentEncoding != "identity")
        return Fail(error, RemoteStatus::kBadResponse, fetch,
                    "the server sent the bytes encoded (" + answer.contentEncoding + ")");
    if (!opening) {
        const ObjectVersion& expected = *request.expected;
        if ((!expected.etag.empty() && answer.etag != expected.etag) ||
            (!expected.lastModified.empty() && answer.lastModified != expected.lastModified))
            return Fail(error, RemoteStatus::kObjectChanged, fetch,
                        "the object changed on the server since it was opened");
    }

    uint64_t size = 0;
    if (answer.status == 206) {
        int64_t first = 0;
        int64_t last = 0;
        int64_t total = 0;
        if (!ParseContentRange(answer.contentRange, &first, &last, &total) || first < 0)
            return Fail(error, RemoteStatus::kBadResponse, fetch,
                        "the answer's Content-Range is missing or malformed");
        const uint64_t wantedLast = opening ? std::min<uint64_t>(request.size, total) - 1
                                            : request.offset + request.size - 1;
        if (!opening && static_cast<uint64_t>(total) != request.expected->size)
            return Fail(error, RemoteStatus::kObjectChanged, fetch,
                        "the object's size changed on the server since it was opened");
        if (static_cast<uint64_t>(first) != request.offset ||
            static_cast<uint64_t>(last) != wantedLast)
            return Fail(error, RemoteStatus::kBadResponse, fetch,
                        "the server answered another range than the one asked for");
        if (answer.received != static_cast<uint64_t>(last - first + 1))
            return Retry(error, RemoteStatus::kBadResponse, fetch,
                         answer.received < static_cast<uint64_t>(last - first + 1)
                             ? "the answer's body was cut short"
                             : "the answer's body is longer than its Content-Range");
        size = static_cast<uint64_t>(total);
    } else {
        // The whole object: right only when that is what was asked for.
        size = answer.received;
        if (!opening && (request.offset != 0 || request.size != request.expected->size ||
                         answer.received != request.expected->size))
            return Fail(error, RemoteStatus::kBadResponse, fetch,
                        "the server ignores range requests");
    }
    if (opening) *learned = ObjectVersion{size, answer.etag, answer.lastModified};
    *received = answer.received;
    fetchedBytes += answer.received;
    return Verdict::kDone;
}

Verdict JudgeTransferError(const FetchTarget& fetch, const RangeRequest& request, CURLcode code,
                           const HttpAnswer& answer, int64_t deadlineMs, RemoteError* error) {
    if (answer.overflow)
        return Fail(error, RemoteStatus::kBadResponse, fetch,
                    request.expected == nullptr ? "the server ignores range requests"
                                                : "the server sent more bytes than asked for");
    const std::string why = curl_easy_strerror(code);
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            if (NowMs() >= deadlineMs)
                return Fail(error, RemoteStatus::kTimedOut, fetch, "timed out (" + why + ")");
            return Retry(error, RemoteStatus::kTimedOut, fetch, "stalled (" + why + ")");
        case CURLE_PARTIAL_FILE:
            return Retry(error, RemoteStatus::kBadResponse, fetch,
                         "the answer's body was cut short (" + why + ")");
        case CURLE_COULDNT_CONNECT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_SSL_CONNECT_ERROR:
            return Retry(error, RemoteStatus::kNetwork, fetch, why);
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return Fail(error, RemoteStatus::kNetwork, fetch,
                        "the server's certificate cannot be verified (" + why +
                            "); name the authority's certificate file in CURL_CA_BUNDLE");
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Fail(error, RemoteStatus::kBadResponse, fetch,
                        fetch.target->https
                            ? "redirected to a URL that is not https; refused"
                            : "redirected to a URL that is not http or https; refused");
        default:
            return Fail(error, RemoteStatus::kNetwork, fetch, why);
    }
}

namespace {

// One try: a pooled connection, the request, its answer judged.
Verdict Attempt(const FetchTarget& fetch, const RangeRequest& request, uint8_t* dest,
                int64_t deadlineMs, ObjectVersion* learned, uint64_t* received,
                int64_t* retryAfterMs, RemoteError* error) {
    const RemoteTarget& target = *fetch.target;
    const int64_t remaining = deadlineMs - NowMs();
    if (remaining <= 0) return Fail(error, RemoteStatus::kTimedOut, fetch, "timed out");
    CURL* curl = static_cast<CURL*>(TakeConnection(target.poolKey, deadlineMs));
    if (curl == nullptr)
        return Fail(error, RemoteStatus::kTimedOut, fetch, "timed out waiting for a connection");
    curl_easy_reset(curl);

    const std::string range = "bytes=" + std::to_string(request.offset) + "-" +
                              std::to_string(request.offset + request.size - 1);
    std::vector<std::pair<std::string, std::string>> headers = {{"range", range}};
    if (request.expected != nullptr && StrongEtag(request.expected->etag))
        headers.emplace_back("if-match", request.expected->etag);
    else if (request.expected != nullptr && !request.expected->lastModified.empty())
        headers.emplace_back("if-unmodified-since", request.expected->lastModified);
    std::vector<std::string> lines;
    lines.reserve(headers.size() + 4);
    for (const auto& [name, value] : headers)
        lines.push_back(std::string(name).append(": ").append(value));
    if (target.s3 && fetch.credentials != nullptr) {
        SigningRequest signing;
        signing.host = target.hostHeader;
        signing.canonicalUri = target.canonicalUri;
        signing.canonicalQuery = target.canonicalQuery;
        signing.headers = headers;
        signing.region = target.region;
        for (std::string& line : SignRequest(signing, *fetch.credentials, time(nullptr)))
            lines.push_back(std::move(line));
    }
    curl_slist* list = nullptr;
    for (const std::string& line : lines) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) {
            curl_slist_free_all(list);
            ReturnConnection(target.poolKey, curl, true);
            return Fail(error, RemoteStatus::kNoMemory, fetch, "out of memory");
        }
        list = grown;
    }

    HttpAnswer answer;
    answer.dest = dest;
    answer.capacity = request.size;
    curl_easy_setopt(curl, CURLOPT_URL, target.requestUrl.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "libDecodeTarn");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // Signed requests cannot follow a redirect (the signature names the host); others follow
    // only to https, or also to http when the URL itself was http.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, target.s3 ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, target.https ? "https" : "http,https");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::min(remaining, kMaxConnectMs)));
    // A connection that stops delivering is given up on (and retried) well before the deadline.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(std::clamp<int64_t>(remaining / 4000, 1, 10)));
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    if (!fetch.caBundle.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, fetch.caBundle.c_str());
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);

    SigpipeBlock block;
    BlockSigpipe(&block);
    const CURLcode code = curl_easy_perform(curl);
    RestoreSigpipe(block);

    long redirects = 0;
    long connects = 0;
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    requestCount += 1 + static_cast<uint64_t>(redirects);
    connectionCount += static_cast<uint64_t>(connects);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    ReturnConnection(target.poolKey, curl, true);

    if (!answer.retryAfter.empty())
        *retryAfterMs =
            1000 * std::clamp<int64_t>(strtol(answer.retryAfter.c_str(), nullptr, 10), 0, 5);
    if (code != CURLE_OK)
        return JudgeTransferError(fetch, request, code, answer, deadlineMs, error);
    return Judge(fetch, request, answer, learned, received, error);
}

int64_t Pause(int attempt) {
    thread_local std::minstd_rand random(static_cast<unsigned>(
        std::hash<std::thread::id>{}(std::this_thread::get_id()) ^ static_cast<unsigned>(NowMs())));
    const int64_t full = std::min(kMaxPauseMs, kFirstPauseMs << attempt);
    return full - static_cast<int64_t>(random() % static_cast<unsigned>(full / 4 + 1));
}

bool FetchWithRetries(const FetchTarget& fetch, const RangeRequest& request, uint8_t* dest,
                      int64_t deadlineMs, ObjectVersion* learned, uint64_t* received,
                      RemoteError* error) {
    for (int attempt = 0;; ++attempt) {
        int64_t retryAfterMs = 0;
        const Verdict outcome =
            Attempt(fetch, request, dest, deadlineMs, learned, received, &retryAfterMs, error);
        if (outcome == Verdict::kDone) return true;
        if (outcome == Verdict::kFail) return false;
        const std::string tries = " (" + std::to_string(attempt + 1) + " tries)";
        if (attempt + 1 >= kMaxAttempts) {
            error->message += tries;
            return false;
        }
        const int64_t pause = std::max(Pause(attempt), retryAfterMs);
        if (NowMs() + pause >= deadlineMs) {
            error->status = RemoteStatus::kTimedOut;
            error->message += tries + ", and the call's time ran out (TARN_REMOTE_TIMEOUT)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
}

}  // namespace

bool FetchRange(const FetchTarget& fetch, const ObjectVersion& expected, uint64_t offset,
                uint64_t size, uint8_t* dest, int64_t deadlineMs, RemoteError* error) {
    if (size == 0) return true;
    RangeRequest request{offset, size, &expected};
    ObjectVersion unused;
    uint64_t received = 0;
    return FetchWithRetries(fetch, request, dest, deadlineMs, &unused, &received, error);
}

bool FetchLeading(const FetchTarget& fetch, uint64_t capacity, uint8_t* dest, int64_t deadlineMs,
                  ObjectVersion* version, uint64_t* received, RemoteError* error) {
    RangeRequest request{0, std::max<uint64_t>(capacity, 1), nullptr};
    return FetchWithRetries(fetch, request, dest, deadlineMs, version, received, error);
}

void ReadFetchCounters(RemoteCounters* counters) {
    counters->requests = requestCount.load();
    counters->connections = connectionCount.load();
    counters->bytesFetched = fetchedBytes.load();
}

}  // namespace tarn::remote
