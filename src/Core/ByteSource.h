// Where a slide's bytes come from. Every read of slide bytes (records at open, associated images,
// tiles) goes through one ByteSource: a file, a caller's reader (tarn_open_with_reader), or an
// object on a web server or in S3-compatible storage (RemoteSource.h).
//
// A source is a plain record of function pointers over an opaque context, filled by whoever
// opens the source and owned by the slide from then on:
// - read and check may be called from many threads at once, for the same or different ranges,
//   for as long as the slide is open; prefetch likewise.
// - release is called exactly once, when the slide is closed (or its open fails), after every
//   other call on the source has returned; nothing is called after it.
// - The core never asks read for bytes past `size`: it checks every range against the size
//   first, so a source can trust offset + length <= size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/Status.h"
#include "Common/Error.h"

namespace tarn {

// A stretch of slide bytes.
struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct ByteSource {
    void* context = nullptr;

    // Bytes of the slide, fixed when the source was opened.
    uint64_t size = 0;

    // How many bytes are worth asking for at once when the open reads ahead of what it knows it
    // needs: its first read covers this much of the file's start (records lie near it), and the
    // record of a layer is read with this much after it. 0: kDefaultReadAhead. A file reads
    // cheaply in any size; a network source, where a round trip costs far more than bytes, wants
    // more.
    uint64_t readAhead = 0;

    // Reads exactly `length` bytes at `offset` into `out`. Returns Status::Ok, or a failure with
    // the reason in `*why` (which may be null): Status::ShortRead when the bytes cannot all be
    // read, Status::FileChanged (Common/Status.h) when the source no longer is what was opened (a
    // file removed or replaced, a remote object changed), Status::NoMemory.
    Status (*read)(void* context, uint64_t offset, void* out, size_t length, Error* why) = nullptr;

    // Whether the source still is what was opened: Status::Ok, or Status::FileChanged with the
    // reason. Null: the source cannot change.
    Status (*check)(void* context, Error* why) = nullptr;

    // Optional (null: ignored): the ranges a region, block or whole-layer read is about to read,
    // in the order it will read them, so that a source where requests are costly can coalesce
    // neighbours and fetch them ahead, in parallel. A hint: the reads follow whatever it does.
    void (*prefetch)(void* context, const ByteRange* ranges, size_t count) = nullptr;

    // Optional (null: none): how many bytes from `offset` on, at most `limit`, the source holds
    // already and delivers without a request (a network source's cache of fetched bytes). The
    // open reads no further ahead than it needs where these cover it, and asks ahead of its
    // first costly read for the slide's last readAhead bytes too, where a pyramid keeps its
    // smallest levels.
    uint64_t (*held)(void* context, uint64_t offset, uint64_t limit) = nullptr;

    // Whether the open keeps the layer records and tile tables it read under the source's
    // identity, in memory for the process and in the cache folder (LayerIndex.h), so that a
    // later open of a source with the same identity reads them from there: for sources where
    // each read ahead is a round trip over a network, and whose identity names their bytes.
    bool keepIndex = false;

    // Releases the context (see above). Null: nothing to release.
    void (*release)(void* context) = nullptr;

    // Bytes that name exactly the content opened, owned by the context: equal for two sources
    // only when they deliver the same bytes (a file: its device, inode, generation, size and
    // modification time; a remote object: its URL and ETag). Tiles are kept in the tile cache
    // only for sources with an identity; empty (size 0): none.
    const void* identity = nullptr;
    size_t identitySize = 0;
};

inline constexpr uint64_t kDefaultReadAhead = uint64_t{64} << 10;

// Status::Ok when `length` bytes at `offset` lie within the source, else Status::ShortRead with the
// reason: sizes read from the slide are checked so before any memory is sized from them.
Status CheckRange(const ByteSource& source, uint64_t offset, size_t length, Error* why);

// `length` bytes at `offset` of the source: checked against its size first (Status::ShortRead
// past it), then read. Codes as ByteSource::read.
Status ReadFromSource(const ByteSource& source, uint64_t offset, void* out, size_t length,
                      Error* why);

// The source's check, Status::Ok for a source without one.
Status CheckSource(const ByteSource& source, Error* why);

// Passes a prefetch hint on when the source takes one.
void HintReads(const ByteSource& source, const ByteRange* ranges, size_t count);

// Releases the source (once) and empties the record. Null and empty records are ignored.
void ReleaseSource(ByteSource* source);

// ---- Calls: one deadline for the reads of one call.

// Marks a call of an interface on this thread, for as long as it lives: sources whose reads may
// wait (a network) give every read of the call one deadline, counted from the call's first read
// that waits (SourceCallStartMs), however many reads the call makes. Nested scopes belong to
// the outermost one. Costs nothing for sources that never ask.
class SourceCall {
  public:
    SourceCall();
    ~SourceCall();
    SourceCall(const SourceCall&) = delete;
    SourceCall& operator=(const SourceCall&) = delete;
};

// For a source's read inside a call: the milliseconds of std::chrono::steady_clock when the
// call's first such read began (set now when this is the first); 0 outside any call.
int64_t SourceCallStartMs();

// ---- Identities in cache keys.

// A number for the identity bytes, the same for equal bytes as long as some source holds it or
// it was released recently, never reused for other bytes. 0 for empty bytes (or when memory runs
// out): no identity, nothing cached. Release each nonzero number once.
uint64_t AcquireSourceKey(const void* identity, size_t size);
void ReleaseSourceKey(uint64_t key);

}  // namespace tarn
