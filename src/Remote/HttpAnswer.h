// One answer to a range request, as it arrives and as it is judged: whether its bytes are the ones
// asked for, of the version asked for, whether another try may do better, and otherwise why not.
// The fetch (HttpFetch.cpp) sends the request and hands each answer here; nothing here talks to a
// server, so every rule can be checked on answers made up in memory. Internal to the library.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "Remote/HttpFetch.h"

namespace tarn::remote {

enum class Verdict { kDone, kRetry, kFail };

// The request an answer answers.
struct RangeRequest {
    uint64_t offset = 0;
    uint64_t size = 0;
    const ObjectVersion* expected = nullptr;  // null: the open, which learns the version
};

// One answer as it arrives: the last header block (after redirects, the final one) and the body,
// written into the caller's bytes only when it is the answer asked for.
struct HttpAnswer {
    uint8_t* dest = nullptr;
    uint64_t capacity = 0;
    uint64_t received = 0;
    bool overflow = false;
    long status = 0;
    std::string etag;
    std::string lastModified;
    std::string contentRange;
    std::string contentEncoding;
    std::string bucketRegion;
    std::string retryAfter;
    std::string errorBody;  // the start of a body that is not the bytes asked for
};

// libcurl's header and body callbacks; `user` is the HttpAnswer.
size_t OnHeader(char* data, size_t size, size_t count, void* user);
size_t OnBody(char* data, size_t size, size_t count, void* user);

// "bytes first-last/total", or "bytes */total" (first and last -1); false when malformed.
bool ParseContentRange(const std::string& text, int64_t* first, int64_t* last, int64_t* total);

// What an answer that came in full means. The open learns the version and how many bytes came.
Verdict Judge(const FetchTarget& fetch, const RangeRequest& request, const HttpAnswer& answer,
              ObjectVersion* learned, uint64_t* received, RemoteError* error);

// What a transfer that libcurl ended with `code` means; a time-out counts as the call's own only
// once `deadlineMs` (NowMs) has passed.
Verdict JudgeTransferError(const FetchTarget& fetch, const RangeRequest& request, CURLcode code,
                           const HttpAnswer& answer, int64_t deadlineMs, RemoteError* error);

}  // namespace tarn::remote
