#include "Remote/RemoteObject.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "Common/ThreadCap.h"
#include "Remote/BlockCache.h"
#include "Remote/ConnectionPool.h"
#include "Remote/HttpFetch.h"
#include "Remote/RemoteSettings.h"
#include "Remote/RemoteUrl.h"

namespace tarn::remote {

struct RemoteObject {
    RemoteTarget target;
    AwsCredentials credentials;
    FetchTarget fetch;
    ObjectVersion version;
    std::string key;
    std::string versionText;  // the key's part after the URL
    int64_t timeoutMs = kDefaultTimeoutMs;

    // Where recent requests ended, to tell a sequential scan (an export, a Dask chunk row)
    // from scattered reads: the ends of the last kStreams requests, with their sizes.
    std::mutex streamMutex;
    struct Stream {
        uint64_t end = 0;
        uint64_t size = 0;
    };
    std::array<Stream, 8> streams{};
    size_t nextStream = 0;

    // Without validators: what the open read, fetched again after every later fetch.
    std::vector<RemoteWitness> witness;

    // Set by the first answer that shows another version; every read fails from then on.
    std::atomic<bool> changed{false};
    std::mutex changeMutex;
    std::string changeMessage;
};

namespace {

// Ranges closer than this are fetched in one request: the bytes between them cost less than
// another request's round trip on any network worth reading slides over.
constexpr uint64_t kNearBytes = 64 << 10;
// A request larger than this is split, so that one big read still uses parallel connections.
constexpr uint64_t kMaxRequestBytes = 8 << 20;
// A lone small read (a record) brings this much from its offset on into the cache: the table or
// record that follows it is usually read next.
constexpr uint64_t kSmallReadBytes = 4 << 10;
constexpr uint64_t kReadAheadBytes = 256 << 10;
// A request that continues one that just ended is a scan: it asks for twice what that one did,
// up to this much, so that a scan comes in a few large requests instead of one per tile.
constexpr uint64_t kMostScanAhead = 4 << 20;

bool Failed(RemoteError* error, RemoteStatus status, std::string message) {
    if (error != nullptr) {
        error->status = status;
        error->message = std::move(message);
    }
    return false;
}

void NoteChange(RemoteObject* object, const RemoteError& error) {
    std::lock_guard lock(object->changeMutex);
    if (!object->changed.load()) object->changeMessage = error.message;
    object->changed.store(true);
}

bool KnownChanged(RemoteObject* object, RemoteError* error) {
    if (!object->changed.load()) return false;
    std::lock_guard lock(object->changeMutex);
    return !Failed(error, RemoteStatus::kObjectChanged, object->changeMessage);
}

// A part of a caller's range that the cache lacks; `dest` null for a prefetch.
struct Piece {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint8_t* dest = nullptr;
};

// One range request and the pieces it serves.
struct Request {
    uint64_t offset = 0;
    uint64_t size = 0;
    size_t firstPiece = 0;
    size_t pieceCount = 0;
};

std::vector<Request> PlanRequests(std::vector<Piece>& pieces) {
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    std::vector<Request> requests;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        const uint64_t pieceEnd = piece.offset + piece.size;
        if (!requests.empty()) {
            Request& last = requests.back();
            const uint64_t lastEnd = last.offset + last.size;
            if (piece.offset <= lastEnd + kNearBytes &&
                std::max(lastEnd, pieceEnd) - last.offset <= kMaxRequestBytes) {
                last.size = std::max(lastEnd, pieceEnd) - last.offset;
                ++last.pieceCount;
                continue;
            }
        }
        requests.push_back({piece.offset, piece.size, i, 1});
    }
    return requests;
}

// Splits pieces larger than a request may be, so that each request serves whole pieces.
void SplitLargePieces(std::vector<Piece>& pieces) {
    std::vector<Piece> split;
    for (const Piece& piece : pieces) {
        for (uint64_t done = 0; done < piece.size; done += kMaxRequestBytes) {
            const uint64_t size = std::min(kMaxRequestBytes, piece.size - done);
            split.push_back(
                {piece.offset + done, size, piece.dest == nullptr ? nullptr : piece.dest + done});
        }
    }
    pieces.swap(split);
}

bool FetchRequest(RemoteObject* object, const Request& request, const std::vector<Piece>& pieces,
                  int64_t deadlineMs, RemoteError* error) {
    const bool caching = CacheCapacity() > 0;
    const Piece& first = pieces[request.firstPiece];
    // Without the cache a request for exactly one caller's range goes straight to its bytes.
    if (!caching && request.pieceCount == 1 && first.dest != nullptr &&
        first.offset == request.offset && first.size == request.size)
        return FetchRange(object->fetch, object->version, request.offset, request.size, first.dest,
                          deadlineMs, error);
    std::shared_ptr<std::vector<uint8_t>> bytes;
    try {
        bytes = std::make_shared<std::vector<uint8_t>>(request.size);
    } catch (const std::bad_alloc&) {
        return Failed(error, RemoteStatus::kNoMemory, object->target.shownUrl + ": out of memory");
    }
    if (!FetchRange(object->fetch, object->version, request.offset, request.size, bytes->data(),
                    deadlineMs, error))
        return false;
    for (size_t i = request.firstPiece; i < request.firstPiece + request.pieceCount; ++i) {
        if (pieces[i].dest != nullptr)
            memcpy(pieces[i].dest, bytes->data() + (pieces[i].offset - request.offset),
                   pieces[i].size);
    }
    if (caching) KeepInCache(object->key, request.offset, bytes);
    return true;
}

// Grows the requests that continue a recent one (see kMostScanAhead); the bytes beyond the
// pieces go to the cache for the reads that follow.
void ReadAheadOfScans(RemoteObject* object, std::vector<Request>& requests) {
    std::lock_guard lock(object->streamMutex);
    for (Request& request : requests) {
        auto& streams = object->streams;
        auto stream = std::find_if(streams.begin(), streams.end(), [&](const auto& s) {
            return s.end != 0 && request.offset + kNearBytes >= s.end &&
                   request.offset <= s.end + kNearBytes;
        });
        if (stream != streams.end()) {
            const uint64_t wanted =
                std::min(kMostScanAhead, 2 * std::max(stream->size, request.size));
            request.size =
                std::max(request.size, std::min(wanted, object->version.size - request.offset));
        } else {
            stream = streams.begin() + static_cast<ptrdiff_t>(object->nextStream);
            object->nextStream = (object->nextStream + 1) % streams.size();
        }
        *stream = {request.offset + request.size, request.size};
    }
}

// The pieces fetched in as few requests as the plan allows, on up to a host's connections at
// once. Waiting on a network is no work for a processor: these threads are bounded by the
// connections, not by the library's thread cap (a server or Dask worker kept to one thread still
// fetches a region's tiles together).
bool FetchPieces(RemoteObject* object, std::vector<Piece>& pieces, bool readAhead,
                 int64_t deadlineMs, RemoteError* error) {
    SplitLargePieces(pieces);
    std::vector<Request> requests = PlanRequests(pieces);
    if (readAhead && requests.size() == 1 && requests[0].size < kSmallReadBytes &&
        CacheCapacity() > 0) {
        const uint64_t end = std::min(object->version.size, requests[0].offset + kReadAheadBytes);
        requests[0].size = std::max(requests[0].size, end - requests[0].offset);
    }
    if (CacheCapacity() > 0) ReadAheadOfScans(object, requests);
    const int threads = std::min<int>(ConnectionsPerHostSetting(),
                                      static_cast<int>(std::min<size_t>(requests.size(), 64)));
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    RemoteError firstError;
    ParallelFor(static_cast<int64_t>(requests.size()), threads, [&](int64_t index) {
        if (failed.load()) return;
        RemoteError requestError;
        try {
            if (FetchRequest(object, requests[static_cast<size_t>(index)], pieces, deadlineMs,
                             &requestError))
                return;
        } catch (const std::bad_alloc&) {
            Failed(&requestError, RemoteStatus::kNoMemory, "out of memory reading a remote object");
        }
        std::lock_guard lock(errorMutex);
        if (!failed.exchange(true)) firstError = std::move(requestError);
    });
    if (!failed.load()) return true;
    if (firstError.status == RemoteStatus::kObjectChanged) NoteChange(object, firstError);
    if (error != nullptr) *error = std::move(firstError);
    return false;
}

bool Versioned(const RemoteObject* object) {
    return !object->version.etag.empty() || !object->version.lastModified.empty();
}

// The watched bytes fetched again (never from the cache) and compared with what the open read.
bool StillWatchedBytes(RemoteObject* object, int64_t deadlineMs, RemoteError* error) {
    std::vector<uint8_t> now;
    for (const RemoteWitness& witness : object->witness) {
        now.resize(witness.bytes.size());
        if (!FetchRange(object->fetch, object->version, witness.offset, now.size(), now.data(),
                        deadlineMs, error))
            return false;
        if (memcmp(now.data(), witness.bytes.data(), now.size()) != 0) {
            RemoteError changed;
            Failed(&changed, RemoteStatus::kObjectChanged,
                   object->target.shownUrl +
                       ": the object changed since it was opened (its server tells versions "
                       "apart by neither ETag nor Last-Modified, and bytes the open read differ "
                       "now)");
            NoteChange(object, changed);
            if (error != nullptr) *error = std::move(changed);
            return false;
        }
    }
    return true;
}

bool InObject(const RemoteObject* object, uint64_t offset, uint64_t size) {
    return offset <= object->version.size && size <= object->version.size - offset;
}

// The deadline of a call that started at `callStartMs` (0: now).
int64_t DeadlineOf(const RemoteObject* object, int64_t callStartMs) {
    return (callStartMs != 0 ? callStartMs : NowMs()) + object->timeoutMs;
}

bool ReadRanges(RemoteObject* object, const RemoteRange* ranges, size_t count, bool readAhead,
                int64_t callStartMs, RemoteError* error) {
    if (object == nullptr) return Failed(error, RemoteStatus::kBadUrl, "no remote object");
    if (KnownChanged(object, error)) return false;
    for (size_t i = 0; i < count; ++i) {
        if (!InObject(object, ranges[i].offset, ranges[i].size))
            return Failed(error, RemoteStatus::kOutOfRange,
                          object->target.shownUrl + ": a read past the object's end (" +
                              std::to_string(object->version.size) + " bytes)");
    }
    const uint64_t prefetchBudget = CacheCapacity() / 2;
    uint64_t prefetched = 0;
    std::vector<Piece> pieces;
    std::vector<ByteSpan> missing;
    for (size_t i = 0; i < count; ++i) {
        const RemoteRange& range = ranges[i];
        if (range.size == 0) continue;
        auto* dest = static_cast<uint8_t*>(range.dest);
        if (dest == nullptr) {
            if (prefetched + range.size > prefetchBudget) continue;
            prefetched += range.size;
        }
        missing.clear();
        ReadCached(object->key, range.offset, range.size, dest, &missing);
        for (const ByteSpan& span : missing)
            pieces.push_back({span.offset, span.size,
                              dest == nullptr ? nullptr : dest + (span.offset - range.offset)});
    }
    if (pieces.empty()) return true;
    const int64_t deadlineMs = DeadlineOf(object, callStartMs);
    if (!FetchPieces(object, pieces, readAhead, deadlineMs, error)) return false;
    return object->witness.empty() || StillWatchedBytes(object, deadlineMs, error);
}

}  // namespace

RemoteObject* OpenRemoteObject(const std::string& url, const RemoteOpenOptions& options,
                               RemoteError* error) {
    std::unique_ptr<RemoteObject> object;
    try {
        object = std::make_unique<RemoteObject>();
        std::string problem;
        if (!ParseRemoteUrl(url, &object->target, &problem)) {
            Failed(error, RemoteStatus::kBadUrl, "cannot read the URL: " + problem);
            return nullptr;
        }
        object->fetch.target = &object->target;
        if (object->target.s3 && LoadAwsCredentials(&object->credentials))
            object->fetch.credentials = &object->credentials;
        object->fetch.caBundle = options.caBundle;
        if (object->fetch.caBundle.empty()) {
            if (const char* bundle = SettingText("CURL_CA_BUNDLE")) object->fetch.caBundle = bundle;
        }
        object->timeoutMs = TimeoutMsSetting();

        // The leading bytes, which also tell the size and the validators.
        const uint64_t capacity = std::max<uint64_t>(options.leadingBytes, 1);
        auto leading = std::make_shared<std::vector<uint8_t>>(capacity);
        uint64_t received = 0;
        RemoteError fetchError;
        if (!FetchLeading(object->fetch, capacity, leading->data(), NowMs() + object->timeoutMs,
                          &object->version, &received, &fetchError)) {
            if (error != nullptr) *error = std::move(fetchError);
            return nullptr;
        }
        const ObjectVersion& version = object->version;
        object->versionText = version.etag.empty() ? "modified " + version.lastModified +
                                                         ", size " + std::to_string(version.size)
                                                   : version.etag;
        object->key = object->target.keyUrl + "\n" + object->versionText;
        if (!Versioned(object.get())) {
            static std::atomic<uint64_t> handles{0};
            object->key += "\nhandle " + std::to_string(++handles);
        }
        leading->resize(received);
        if (received > 0 && CacheCapacity() > 0) KeepInCache(object->key, 0, leading);
    } catch (const std::bad_alloc&) {
        Failed(error, RemoteStatus::kNoMemory, "out of memory opening a remote object");
        return nullptr;
    }
    return object.release();
}

void CloseRemoteObject(RemoteObject* object) {
    delete object;
}

uint64_t RemoteObjectSize(const RemoteObject* object) {
    return object == nullptr ? 0 : object->version.size;
}

const char* RemoteObjectKey(const RemoteObject* object) {
    return object == nullptr ? "" : object->key.c_str();
}

const char* RemoteObjectVersion(const RemoteObject* object) {
    return object == nullptr ? "" : object->versionText.c_str();
}

const char* RemoteObjectShownUrl(const RemoteObject* object) {
    return object == nullptr ? "" : object->target.shownUrl.c_str();
}

uint64_t RemoteCachedBytes(const RemoteObject* object, uint64_t offset, uint64_t limit) {
    if (object == nullptr || object->changed.load() || CacheCapacity() == 0) return 0;
    try {
        return CachedRun(object->key, offset, limit);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

bool ReadRemote(RemoteObject* object, uint64_t offset, void* dest, size_t size, RemoteError* error,
                int64_t callStartMs) {
    const RemoteRange range{offset, size, dest};
    try {
        return ReadRanges(object, &range, 1, true, callStartMs, error);
    } catch (const std::bad_alloc&) {
        return Failed(error, RemoteStatus::kNoMemory, "out of memory reading a remote object");
    }
}

bool ReadRemoteRanges(RemoteObject* object, const RemoteRange* ranges, size_t count,
                      RemoteError* error, int64_t callStartMs) {
    try {
        return ReadRanges(object, ranges, count, false, callStartMs, error);
    } catch (const std::bad_alloc&) {
        return Failed(error, RemoteStatus::kNoMemory, "out of memory reading a remote object");
    }
}

bool RemoteObjectUnchanged(RemoteObject* object, RemoteCheck check, RemoteError* error) {
    if (object == nullptr) return Failed(error, RemoteStatus::kBadUrl, "no remote object");
    if (KnownChanged(object, error)) return false;
    if (check == RemoteCheck::kKnown || object->version.size == 0) return true;
    try {
        uint8_t byte = 0;
        RemoteError fetchError;
        const int64_t deadlineMs = NowMs() + object->timeoutMs;
        if (FetchRange(object->fetch, object->version, 0, 1, &byte, deadlineMs, &fetchError))
            return object->witness.empty() || StillWatchedBytes(object, deadlineMs, error);
        if (fetchError.status == RemoteStatus::kObjectChanged) NoteChange(object, fetchError);
        if (error != nullptr) *error = std::move(fetchError);
        return false;
    } catch (const std::bad_alloc&) {
        return Failed(error, RemoteStatus::kNoMemory, "out of memory checking a remote object");
    }
}

bool RemoteObjectVersioned(const RemoteObject* object) {
    return object != nullptr && Versioned(object);
}

void WatchRemoteBytes(RemoteObject* object, std::vector<RemoteWitness> witness) {
    if (object != nullptr && !Versioned(object)) object->witness = std::move(witness);
}

RemoteCounters ReadRemoteCounters() {
    RemoteCounters counters;
    ReadFetchCounters(&counters);
    counters.cacheBytes = CachedBytes();
    return counters;
}

void SetRemoteCacheCapacity(uint64_t bytes) {
    SetCacheCapacity(bytes);
}

}  // namespace tarn::remote
