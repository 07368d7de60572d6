// One range of an object fetched over HTTP(S): the request (signed for S3), retries with growing
// pauses within the call's deadline, and every check that keeps wrong bytes out: the status, the
// Content-Range, the body's length, and the object's validators.
#pragma once

#include <cstdint>
#include <string>

#include "Remote/AwsSigning.h"
#include "Remote/RemoteObject.h"
#include "Remote/RemoteUrl.h"

namespace tarn::remote {

// What identifies the version of an object: its size and the validators the server gave.
struct ObjectVersion {
    uint64_t size = 0;
    std::string etag;
    std::string lastModified;
};

struct FetchTarget {
    const RemoteTarget* target = nullptr;
    const AwsCredentials* credentials = nullptr;  // null: requests go unsigned
    std::string caBundle;                         // empty: the system's authorities
};

// Exactly `size` bytes at `offset` of the version `expected` into `dest`; any other answer fails
// (kObjectChanged when the server shows another version).
bool FetchRange(const FetchTarget& fetch, const ObjectVersion& expected, uint64_t offset,
                uint64_t size, uint8_t* dest, int64_t deadlineMs, RemoteError* error);

// The open's request: up to `capacity` bytes from the start into `dest`, learning the object's
// version and how many bytes came (the object's size, or `capacity` when it is larger).
bool FetchLeading(const FetchTarget& fetch, uint64_t capacity, uint8_t* dest, int64_t deadlineMs,
                  ObjectVersion* version, uint64_t* received, RemoteError* error);

void ReadFetchCounters(RemoteCounters* counters);

}  // namespace tarn::remote
