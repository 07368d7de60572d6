// Objects on web servers and in S3-compatible storage read as ranges of bytes: what a slide's byte
// source needs to read a slide that is not on this machine.
//
// URLs: http://, https:// (range requests; presigned URLs are plain https), and s3://bucket/key,
// signed with AWS Signature Version 4 (see AwsSigning.h for where credentials, region and endpoint
// come from).
//
// Every read goes through one block cache of fetched bytes that all objects of the process share,
// keyed by the object's identity (URL and ETag), bounded by TARN_REMOTE_CACHE_SIZE bytes (64 MiB
// by default, 0 turns it off). Requests to one host share a bounded set of reused connections
// (TARN_REMOTE_CONNECTIONS, 8 by default). Each call gives up after TARN_REMOTE_TIMEOUT seconds
// in all (60 by default, fractions allowed), retries included: connection failures, resets,
// timeouts, truncated bodies, 429 and 5xx answers are retried with growing pauses while time is
// left.
//
// An object is the version the open saw: every answer is checked against its ETag, Last-Modified
// and size (and If-Match asks the server to refuse another version), so an object replaced on the
// server fails the reads that reach the server, and every later read of the handle, with
// RemoteStatus::kObjectChanged; a read never mixes the bytes of two versions. Reads the cache
// answers whole keep serving the version the handle opened, as a local file's descriptor does
// after the file was replaced, until the handle learns of the change.
//
// All functions are safe to call from many threads at once on one object, except
// CloseRemoteObject. A process that forks may go on in the child: the child opens its own
// connections and never touches the parent's. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn::remote {

enum class RemoteStatus {
    kOk = 0,
    kBadUrl,         // not a URL this module reads, or malformed
    kNotFound,       // the server has no such object (404)
    kAccessDenied,   // 401 or 403: credentials missing, wrong or expired
    kObjectChanged,  // the object is not the version the handle opened
    kNetwork,        // no connection, TLS failure, resets that outlasted the retries
    kTimedOut,       // the call's time ran out
    kBadResponse,    // truncated body, wrong Content-Range, no range support, other statuses
    kOutOfRange,     // the caller asked for bytes past the object's end
    kNoMemory,
};

// What went wrong, in one line for a person. Messages name the URL without its query or user
// part and never carry a secret, a signature or a token.
struct RemoteError {
    RemoteStatus status = RemoteStatus::kOk;
    std::string message;
};

// True for the URLs this module reads (http://, https://, s3://; scheme case ignored).
bool IsRemoteUrl(const char* path);

struct RemoteOpenOptions {
    // PEM file of the certificate authorities https servers are checked against. Empty: the file
    // CURL_CA_BUNDLE names when set, else the system's.
    std::string caBundle;
    // Bytes the open's one request fetches from the start of the object into the cache: a
    // slide's header, information records, label, macrograph, thumbnail and first tile table lie
    // there, so the open's later small reads need no further trip.
    uint64_t leadingBytes = uint64_t{1} << 20;
};

struct RemoteObject;

// One request: the leading bytes, the object's size and its validators (ETag, Last-Modified).
// Null, with `error` filled, when the object cannot be read.
RemoteObject* OpenRemoteObject(const std::string& url, const RemoteOpenOptions& options,
                               RemoteError* error);

// Accepts null. Reads on other threads must have returned.
void CloseRemoteObject(RemoteObject* object);

uint64_t RemoteObjectSize(const RemoteObject* object);

// The object's identity for caches: its URL (without user part and without signing parameters
// of a presigned URL), a newline, and its ETag (or, without one, Last-Modified and size; without
// both, also a number of this handle's own). Two handles with the same key read the same bytes.
// Valid while the object is open.
const char* RemoteObjectKey(const RemoteObject* object);

// The key's version part: the ETag, or Last-Modified and size without one.
const char* RemoteObjectVersion(const RemoteObject* object);

// The URL as messages show it: without user part and query.
const char* RemoteObjectShownUrl(const RemoteObject* object);

// How many bytes from `offset` on (at most `limit`) the block cache holds now without a gap:
// what a read gets without a request.
uint64_t RemoteCachedBytes(const RemoteObject* object, uint64_t offset, uint64_t limit);

// Exactly `size` bytes at `offset` into `dest`. On failure `dest` may hold a part of the bytes
// (of the opened version only) and must not be used.
//
// The reads of one call share one deadline: `callStartMs`, the steady clock's milliseconds
// (std::chrono::steady_clock) when the call began, plus TARN_REMOTE_TIMEOUT; 0 starts the
// time now. Bytes the cache holds are delivered whatever the time.
bool ReadRemote(RemoteObject* object, uint64_t offset, void* dest, size_t size, RemoteError* error,
                int64_t callStartMs = 0);

// Many ranges at once: the bytes the cache lacks are fetched in as few range requests as
// possible (ranges that touch or lie close together share one) on parallel connections. A range
// with a null `dest` is only brought into the cache, for reads that follow (a prefetch; such
// ranges beyond half the cache's size are left to those reads). Ranges may come in any order and
// overlap.
struct RemoteRange {
    uint64_t offset = 0;
    uint64_t size = 0;
    void* dest = nullptr;
};
bool ReadRemoteRanges(RemoteObject* object, const RemoteRange* ranges, size_t count,
                      RemoteError* error, int64_t callStartMs = 0);

// Whether the server gave the object an ETag or a Last-Modified date. Without either, a later
// object of the same size looks like the one opened: its key names this handle only (no other
// handle shares its cached bytes), and reads after the open trust nothing they cannot show
// unchanged (WatchRemoteBytes).
bool RemoteObjectVersioned(const RemoteObject* object);

// Bytes the open read and relies on (a slide's records and tables), at their offsets. For an
// object without validators every later read that reaches the server fetches them again, and it
// and every read after it fail with kObjectChanged once they differ. Call before other threads
// read the object; nothing is watched for an object with validators.
struct RemoteWitness {
    uint64_t offset = 0;
    std::string bytes;
};
void WatchRemoteBytes(RemoteObject* object, std::vector<RemoteWitness> witness);

// Whether the object is still the version the handle opened: kKnown answers from what earlier
// requests saw (no request); kAskServer sends a one-byte request and compares its validators
// (and fetches the watched bytes again: WatchRemoteBytes).
enum class RemoteCheck { kKnown, kAskServer };
bool RemoteObjectUnchanged(RemoteObject* object, RemoteCheck check, RemoteError* error);

// Process-wide figures, for tests and benchmarks.
struct RemoteCounters {
    uint64_t requests = 0;      // HTTP requests sent, retries and redirects included
    uint64_t connections = 0;   // connections opened
    uint64_t bytesFetched = 0;  // body bytes received for ranges
    uint64_t cacheBytes = 0;    // bytes the block cache holds now
};
RemoteCounters ReadRemoteCounters();

// Replaces the block cache's bound (TARN_REMOTE_CACHE_SIZE otherwise); 0 turns it off and
// empties it.
void SetRemoteCacheCapacity(uint64_t bytes);

}  // namespace tarn::remote
