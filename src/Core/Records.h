// The record functions of the Tarn format, one family at a time, each split into its read, check
// and size steps. They read through the bounds-checked FileReader, so every read is checked
// against the file size before anything is allocated for it. The slide's open reads every record
// once through them; the fixed interface's stream-based readers are thin adapters over the same
// functions.

#pragma once

#include <cstdint>

#include "Common/Status.h"
#include "Common/Error.h"
#include "Core/ByteSource.h"
#include "Common/Geometry.h"
#include "Common/FileRecords.h"

namespace tarn {

// A bounds-checked reader over a slide's bytes, {source, size, offset}: the source is a ByteSource
// or a stdio stream (read with fseeko and fread, which leaves the stream after the last byte read,
// as callers of the stream-based record readers expect). Invariant: offset <= size, and only the
// functions below move the offset. A read that would pass the size fails before it touches
// anything, so callers check a payload's size before they allocate for it.
struct FileReader {
    const ByteSource* source = nullptr;
    void* stream = nullptr;  // FILE*, kept opaque so that this header needs no stdio
    uint64_t size = 0;
    uint64_t offset = 0;
    // Bytes of the source read ahead: `windowLength` of them from `windowStart`. Reads that lie
    // inside are served from here.
    const uint8_t* window = nullptr;
    uint64_t windowStart = 0;
    uint64_t windowLength = 0;
    // Why the last read that could not be served failed: its code (a source's Status::ShortRead,
    // Status::FileChanged or Status::NoMemory) and, when `why` is set, its message.
    Status failure = Status::Ok;
    Error* why = nullptr;
};

// A reader over a source; its messages go to `*why` (may be null).
FileReader ReaderOverSource(const ByteSource& source, Error* why);

// A reader over a stdio stream, its size taken from the file behind it (measured by seeking
// when it is not a regular file). False when the size cannot be known.
bool ReaderOverStream(void* stream, FileReader* reader);

// Bytes from the offset to the end.
inline uint64_t BytesLeft(const FileReader& reader) {
    return reader.size - reader.offset;
}

// Whether [offset, offset + count) is in the read-ahead window.
bool InWindow(const FileReader& reader, uint64_t offset, uint64_t count);

// Exactly `count` bytes at `offset`; afterwards the offset stands after them. False, with nothing
// read and the offset unchanged, when they do not all lie inside the file; false also when the
// source fails to deliver them.
bool ReadBytesAt(FileReader& reader, uint64_t offset, void* out, uint64_t count);

// The same at the current offset.
inline bool ReadBytes(FileReader& reader, void* out, uint64_t count) {
    return ReadBytesAt(reader, reader.offset, out, count);
}

// Up to `count` bytes at `offset`, as many as the file holds there: for the fixed records that
// are judged by their magic alone, so that a file ending inside one leaves the rest of the
// caller's record as it was. Returns the bytes read.
uint64_t ReadAvailableAt(FileReader& reader, uint64_t offset, void* out, uint64_t count);

// ---- Header, 156 bytes at 0.
// Reads as much of the header as the file holds; a shorter file leaves the rest of `head` as it
// was, and only the magic decides.
void ReadHead(FileReader& reader, SlideHead* head);
// Status::Ok, or Status::BadHeadMagic.
Status CheckHead(const SlideHead& head);
// What an open needs of a header: records it promises fit in `fileSize` bytes, counts the format
// has (at least one layer, no label/macrograph or both), and a tile size whose every pixel count
// fits an int.
bool HeadUsable(const SlideHead& head, uint64_t fileSize);

// ---- Person and extra information, at fixed places, judged by their magic alone (a file that
// ends inside one leaves the rest of the caller's record as it was).
// Status::Absent when the header says there is none, else Status::Ok or Status::BadPersonMagic.
Status ReadPerson(FileReader& reader, const SlideHead& head, PersonRecord* person);
// Status::Absent when the header says there is none, else Status::Ok or Status::BadExtraMagic.
Status ReadExtra(FileReader& reader, const SlideHead& head, ExtraRecord* extra);

// ---- The label/macrograph chain, from its fixed start.
// Records to walk: what the header announces, never more than the pair holds.
uint32_t MacroRecordCount(const SlideHead& head);
// The record at `*position` into `record` and, when `payload` is not null, its bytes into a new
// malloc'ed buffer; `*position` then names the next record. Status::ShortRead for a record or
// payload that is not all in the file, Status::BadMacroMagic, Status::NoMemory. On failure
// `*payload` is untouched.
Status ReadMacroRecord(FileReader& reader, uint64_t* position, MacroRecord* record,
                       unsigned char** payload);
// Where the thumbnail record is: after the chain when the fixed area is there, else right after
// the header.
uint64_t ThumbnailOffset(const SlideHead& head, uint64_t chainEnd);

// ---- Picture records: the thumbnail and every layer.
// The record at `offset`; `shortCode` when it is not all in the file, Status::BadPictureMagic
// without "IF".
Status ReadPicRecord(FileReader& reader, uint64_t offset, PictureRecord* record, Status shortCode);

// ---- Payloads.
// `size` bytes at the reader's offset into a new malloc'ed buffer (never null on success; one
// byte for an empty payload). Status::ShortRead when they run past the end of the file (known
// before allocating), Status::NoMemory.
Status ReadPayload(FileReader& reader, uint64_t size, unsigned char** out);

// The reader's offset moved past a payload of `size` bytes that is not needed now:
// Status::ShortRead when it would run past the end of the file.
Status SkipPayload(FileReader& reader, uint64_t size);

// ---- Layers: every record of the chain and its tile table.
// A layer record the rest of the library can use: a grid whose pixel size fits an int, and a tile
// table that covers the grid. Entries beyond the grid address no tile, yet are held (the fixed
// interface hands out the whole table): a table may claim a few spare ones, not hundreds of
// millions from a file that is mostly a hole.
inline constexpr uint64_t kSpareTableEntries = uint64_t{1} << 16;
bool LayerRecordUsable(const PictureRecord& record, const SlideHead& head);
// Bytes of the tile table that follows a layer record.
uint64_t TileTableBytes(const PictureRecord& record);

// The geometry of a layer from its header and record. Each product is of two 32-bit values, so
// it cannot wrap in 64 bits.
inline LayerGeometry GeometryOf(const SlideHead& head, const PictureRecord& layer) {
    LayerGeometry g;
    g.tileWidth = head.TileWidth;
    g.tileHeight = head.TileHeight;
    g.columns = layer.XCount;
    g.rows = layer.YCount;
    g.boundWidth = layer.BoundWidth;
    g.boundHeight = layer.BoundHeight;
    return g;
}

// Offsets of consecutive tiles starting at `first`: each tile starts where the previous ended,
// its stored size taken as a signed 32-bit value.
void ComputeTileOffsets(uint64_t first, const uint32_t* sizes, uint32_t count, uint64_t* offsets);

}  // namespace tarn
