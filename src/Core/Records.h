// The record functions of the Tarn format, one family at a time, each split into its read, check
// and size steps. They read through the bounds-checked FileReader, so every read is checked
// against the file size before anything is allocated for it. The slide's open reads every record
// once through them; the exported stream-based readers are thin adapters over the same functions.
// Codes are the fixed interface's, plus kNoMemory where a payload could not be allocated.
#pragma once

#include <cstdint>

#include "Common/FileAccess.h"
#include "DecodeTarn.h"

namespace tarn {

// ---- Header, 156 bytes at 0.
// Reads as much of the header as the file holds; a shorter file leaves the rest of `head` as it
// was, and only the magic decides.
void ReadHead(FileReader& reader, ZyPicHead* head);
// ZY_OK, or ZY_E_HEAD_MAGIC.
int CheckHead(const ZyPicHead& head);
// What an open needs of a header: records it promises fit in `fileSize` bytes, counts the format
// has (at least one layer, no label/macrograph or both), and a tile size whose every pixel count
// fits an int.
bool HeadUsable(const ZyPicHead& head, uint64_t fileSize);

// ---- Person and extra information, at fixed places, judged by their magic alone (a file that
// ends inside one leaves the rest of the caller's record as it was).
// ZY_E_ABSENT when the header says there is none, else ZY_OK or ZY_E_PERSON_MAGIC.
int ReadPerson(FileReader& reader, const ZyPicHead& head, ZyPersonInfo* person);
// ZY_E_ABSENT when the header says there is none, else ZY_OK or ZY_E_EXTRA_MAGIC.
int ReadExtra(FileReader& reader, const ZyPicHead& head, ZyExtraInfo* extra);

// ---- The label/macrograph chain, from its fixed start.
// Records to walk: what the header announces, never more than the pair holds.
uint32_t MacroRecordCount(const ZyPicHead& head);
// The record at `*position` into `record` and, when `payload` is not null, its bytes into a new
// malloc'ed buffer; `*position` then names the next record. ZY_E_SHORT_READ for a record or
// payload that is not all in the file, ZY_E_MACRO_MAGIC, kNoMemory. On failure `*payload` is
// untouched.
int ReadMacroRecord(FileReader& reader, uint64_t* position, ZyMacrographInfo* record,
                    unsigned char** payload);
// Where the thumbnail record is: after the chain when the fixed area is there, else right after
// the header.
uint64_t ThumbnailOffset(const ZyPicHead& head, uint64_t chainEnd);

// ---- Picture records: the thumbnail and every layer.
// The record at `offset`; `shortCode` when it is not all in the file, ZY_E_PIC_MAGIC without "IF".
int ReadPicRecord(FileReader& reader, uint64_t offset, ZyPicInfo* record, int shortCode);

// ---- Payloads.
// `size` bytes at the reader's offset into a new malloc'ed buffer (never null on success; one
// byte for an empty payload). ZY_E_SHORT_READ when they run past the end of the file (known
// before allocating), kNoMemory.
int ReadPayload(FileReader& reader, uint64_t size, unsigned char** out);

// ---- Layers: every record of the chain and its tile table.
// A layer record the rest of the library can use: a grid whose pixel size fits an int, and a tile
// table that covers the grid.
bool LayerRecordUsable(const ZyPicInfo& record, const ZyPicHead& head);
// Bytes of the tile table that follows a layer record.
uint64_t TileTableBytes(const ZyPicInfo& record);

}  // namespace tarn
