// The exported stream-based record readers, adapters over the record functions. Each starts again
// from the header, derives every position from the start of the file and leaves the stream after
// the last item it read.
#include <climits>
#include <cstdlib>

#include "Common/Status.h"
#include "Core/RecordLayout.h"
#include "Core/Records.h"
#include "FixedApi/Handles.h"
#include "FixedApi/RecordViews.h"
#include "FixedApi/StatusCodes.h"
#include "FixedApi/ZyCommon.h"

using namespace tarn;

namespace {

// A record function's status as the exported readers report it.
int Code(Status status) {
    return FixedCode(status, FixedCall::Records);
}

// The header every exported reader starts from, read through a reader over the stream: codes
// ZY_E_EMPTY_FILE (no stream, an empty file or one whose size cannot be known), ZY_E_NULL for a
// null header buffer, ZY_E_HEAD_MAGIC.
int StartReader(FILE* stream, SlideHead* head, FileReader* reader) {
    if (!ReaderOverStream(stream, reader) || reader->size == 0) return ZY_E_EMPTY_FILE;
    if (head == nullptr) return ZY_E_NULL;
    ReadHead(*reader, head);
    return Code(CheckHead(*head));
}

// Positions the caller's stream where a reader found a record; false for offsets no stream
// position can hold.
bool SeekStream(FILE* stream, uint64_t offset) {
    return offset <= static_cast<uint64_t>(INT64_MAX) &&
           fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// The thumbnail's offset, walking the label/macrograph heads (not their payloads) when the fixed
// area is there; the stream is left there. A negative code on failure.
int64_t FindThumbnail(FILE* stream, FileReader& reader, const SlideHead& head) {
    if (head.MacrographCount == 0 || head.PersonInfoFlag == 0) return kPersonOffset;
    uint64_t position = kMacroChainStart;
    for (uint32_t i = 0; i < MacroRecordCount(head); ++i) {
        MacroRecord record{};
        if (const Status status = ReadMacroRecord(reader, &position, &record, nullptr);
            status != Status::Ok)
            return Code(status);
    }
    if (!SeekStream(stream, position)) return ZY_E_SHORT_READ;
    return static_cast<int64_t>(position);
}

int64_t FindLayer(FILE* stream, FileReader& reader, const SlideHead& head, int layer) {
    const int64_t thumbnail = FindThumbnail(stream, reader, head);
    if (thumbnail < 0) return thumbnail;
    if (static_cast<uint32_t>(layer) >= head.Layer) return ZY_E_LAYER;

    // A chain of layer + 2 records (thumbnail included) needs that many records' worth of file;
    // anything shorter could only be walked through a loop. Records may lie anywhere, before the
    // thumbnail too, so the whole file counts.
    const uint64_t needed = (uint64_t{static_cast<uint32_t>(layer)} + 2) * kPicRecordSize;
    if (needed > reader.size) return ZY_E_PIC_MAGIC;

    uint64_t position = static_cast<uint64_t>(thumbnail);
    for (uint32_t i = 0; i <= static_cast<uint32_t>(layer); ++i) {
        PictureRecord record{};
        if (ReadPicRecord(reader, position, &record, Status::BadPictureMagic) != Status::Ok)
            return ZY_E_PIC_MAGIC;
        position = record.NextOffset;
    }
    if (!SeekStream(stream, position)) return ZY_E_PIC_MAGIC;
    return static_cast<int64_t>(position);
}

}  // namespace

namespace tarn {

int StreamMacroRecords(FILE* stream, ZyMacrographInfo** records, unsigned char** jpegs) {
    FileReader reader;
    SlideHead head{};
    if (const int code = StartReader(stream, &head, &reader); code != ZY_OK) return code;
    if (head.MacrographCount == 0) return ZY_E_ABSENT;
    if (records == nullptr || jpegs == nullptr) return ZY_E_NULL;

    // Each slot is filled as its record is reached; on failure the slots filled so far stay
    // filled, for the caller to release.
    uint64_t position = kMacroChainStart;
    for (uint32_t i = 0; i < MacroRecordCount(head); ++i) {
        records[i] = static_cast<ZyMacrographInfo*>(calloc(1, sizeof(ZyMacrographInfo)));
        if (records[i] == nullptr) return ZY_E_SHORT_READ;
        if (const Status status = ReadMacroRecord(reader, &position, AsCore(records[i]), &jpegs[i]);
            status != Status::Ok)
            return Code(status);
    }
    return ZY_OK;
}

int StreamThumbnail(FILE* stream, ZyPicInfo* thumb, int* width, int* height, unsigned char** data) {
    FileReader reader;
    SlideHead head{};
    if (const int code = StartReader(stream, &head, &reader); code != ZY_OK) return code;
    const int64_t offset = FindThumbnail(stream, reader, head);
    if (offset < 0) return static_cast<int>(offset);
    // The sizes come from the header and are reported even when the record turns out broken.
    if (width != nullptr) *width = static_cast<int>(head.ThumbWidth);
    if (height != nullptr) *height = static_cast<int>(head.ThumbHeight);
    if (thumb == nullptr || data == nullptr) return ZY_E_NULL;

    if (const Status status =
            ReadPicRecord(reader, static_cast<uint64_t>(offset), AsCore(thumb), Status::ShortRead);
        status != Status::Ok)
        return Code(status);
    // A payload there was no memory for is a short read too.
    return Code(ReadPayload(reader, thumb->DataSize, data));
}

}  // namespace tarn

int ZyGetPicHead(FILE* stream, ZyPicHead* head) {
    FileReader reader;
    return StartReader(stream, AsCore(head), &reader);
}

int ZyGetPersonInfo(FILE* stream, ZyPersonInfo* person) {
    if (person == nullptr) return ZY_E_NULL;
    FileReader reader;
    SlideHead head{};
    if (const int code = StartReader(stream, &head, &reader); code != ZY_OK) return code;
    return Code(ReadPerson(reader, head, AsCore(person)));
}

int ZyGetExtraInfo(FILE* stream, ZyExtraInfo* extra) {
    if (extra == nullptr) return ZY_E_NULL;
    FileReader reader;
    SlideHead head{};
    if (const int code = StartReader(stream, &head, &reader); code != ZY_OK) return code;
    return Code(ReadExtra(reader, head, AsCore(extra)));
}

int ZyGetMacrographInfoAndJpeg(FILE* stream, ZyMacrographInfo** records, unsigned char** jpegs) {
    return tarn::StreamMacroRecords(stream, records, jpegs);
}

int64_t ZyGetCurThumbnailOffset(FILE* stream, ZyPicHead* head) {
    FileReader reader;
    if (const int code = StartReader(stream, AsCore(head), &reader); code != ZY_OK) return code;
    return FindThumbnail(stream, reader, AsCore(*head));
}

int64_t ZyGetLayerOffset(FILE* stream, ZyPicHead* head, int layer) {
    FileReader reader;
    if (const int code = StartReader(stream, AsCore(head), &reader); code != ZY_OK) return code;
    return FindLayer(stream, reader, AsCore(*head), layer);
}

int ZyGetThumbnailInfoAndJpeg(FILE* stream, ZyPicInfo* thumb, int* width, int* height,
                              unsigned char** data) {
    return tarn::StreamThumbnail(stream, thumb, width, height, data);
}

int ZyGetPicInfoOfSpecifyLayer(FILE* stream, ZyPicInfo* picInfo, int layer) {
    FileReader reader;
    SlideHead head{};
    if (const int code = StartReader(stream, &head, &reader); code != ZY_OK) return code;
    const int64_t offset = FindLayer(stream, reader, head, layer);
    if (offset < 0) return static_cast<int>(offset);
    if (picInfo == nullptr) return ZY_E_NULL;
    return Code(
        ReadPicRecord(reader, static_cast<uint64_t>(offset), AsCore(picInfo), Status::ShortRead));
}
