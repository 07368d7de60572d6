// Readers of the Tarn records. Each one starts again from the header, derives every position from
// the start of the file and leaves the stream after the last item it read. Payload sizes are
// checked against the bytes left in the file before anything is allocated.
#include <cstdlib>

#include "DecodeTarn/RecordLayout.h"

using namespace tarn;

namespace {

// The header read shared by every reader; also reports the file size for payload checks.
int ReadHead(FILE* stream, ZyPicHead* head, int64_t* fileSize) {
    if (stream == nullptr) return ZY_E_EMPTY_FILE;
    const int64_t size = ZyGetFileSize(stream);
    if (size <= 0) return ZY_E_EMPTY_FILE;
    if (head == nullptr) return ZY_E_NULL;
    ZyRewind(stream);
    // A header shorter than 156 bytes keeps the buffer's earlier bytes; only the magic decides.
    ZyReadData(head, kHeadSize, 1, stream);
    if (fileSize != nullptr) *fileSize = size;
    return HasMagic(head->Magic, "ZY") ? ZY_OK : ZY_E_HEAD_MAGIC;
}

// Reads a label/macrograph head at `offset` into `record`.
int ReadMacroHead(FILE* stream, uint64_t offset, ZyMacrographInfo* record) {
    if (!SeekTo(stream, offset) || !ReadExactly(stream, record, sizeof(ZyMacrographInfo)))
        return ZY_E_SHORT_READ;
    return HasMagic(record->Magic, "MI") ? ZY_OK : ZY_E_MACRO_MAGIC;
}

// Allocates and reads `size` payload bytes at the current position, refusing sizes beyond the
// end of the file before allocating. Never returns a null buffer on success.
int ReadPayload(FILE* stream, int64_t fileSize, uint64_t size, unsigned char** out) {
    const int64_t left = BytesLeft(stream, fileSize);
    if (left < 0 || size > static_cast<uint64_t>(left)) return ZY_E_SHORT_READ;
    auto* bytes = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
    if (bytes == nullptr) return ZY_E_SHORT_READ;
    if (!ReadExactly(stream, bytes, static_cast<int64_t>(size))) {
        free(bytes);
        return ZY_E_SHORT_READ;
    }
    *out = bytes;
    return ZY_OK;
}

// Reads the picture record at `offset`; `shortCode` is what a failed seek or read reports.
int ReadPicRecord(FILE* stream, uint64_t offset, ZyPicInfo* record, int shortCode) {
    if (!SeekTo(stream, offset) || !ReadExactly(stream, record, sizeof(ZyPicInfo)))
        return shortCode;
    return HasMagic(record->Magic, "IF") ? ZY_OK : ZY_E_PIC_MAGIC;
}

// The chain holds at most macroNum label/macrograph records whatever the header announces.
uint32_t MacroRecordsToRead(const ZyPicHead& head) {
    return head.MacrographCount < static_cast<uint32_t>(macroNum) ? head.MacrographCount
                                                                  : static_cast<uint32_t>(macroNum);
}

}  // namespace

int ZyGetPicHead(FILE* stream, ZyPicHead* head) {
    return ReadHead(stream, head, nullptr);
}

int ZyGetPersonInfo(FILE* stream, ZyPersonInfo* person) {
    if (person == nullptr) return ZY_E_NULL;
    ZyPicHead head{};
    if (const int code = ReadHead(stream, &head, nullptr); code != ZY_OK) return code;
    if (head.PersonInfoFlag == 0) return ZY_E_ABSENT;
    // The stream stands right after the header, where the person record begins.
    ZyReadData(person, sizeof(ZyPersonInfo), 1, stream);
    return HasMagic(person->Magic, "PI") ? ZY_OK : ZY_E_PERSON_MAGIC;
}

int ZyGetExtraInfo(FILE* stream, ZyExtraInfo* extra) {
    if (extra == nullptr) return ZY_E_NULL;
    ZyPicHead head{};
    if (const int code = ReadHead(stream, &head, nullptr); code != ZY_OK) return code;
    if (head.PersonInfoFlag == 0 || head.ExtraInfoFlag == 0) return ZY_E_ABSENT;
    if (SeekTo(stream, kExtraOffset)) ZyReadData(extra, sizeof(ZyExtraInfo), 1, stream);
    return HasMagic(extra->Magic, "EI") ? ZY_OK : ZY_E_EXTRA_MAGIC;
}

int ZyGetMacrographInfoAndJpeg(FILE* stream, ZyMacrographInfo** records, unsigned char** jpegs) {
    ZyPicHead head{};
    int64_t fileSize = 0;
    if (const int code = ReadHead(stream, &head, &fileSize); code != ZY_OK) return code;
    if (head.MacrographCount == 0) return ZY_E_ABSENT;
    if (records == nullptr || jpegs == nullptr) return ZY_E_NULL;

    uint64_t position = kMacroChainStart;
    for (uint32_t i = 0; i < MacroRecordsToRead(head); ++i) {
        records[i] = static_cast<ZyMacrographInfo*>(calloc(1, sizeof(ZyMacrographInfo)));
        if (records[i] == nullptr) return ZY_E_SHORT_READ;
        if (const int code = ReadMacroHead(stream, position, records[i]); code != ZY_OK)
            return code;
        if (const int code = ReadPayload(stream, fileSize, records[i]->DataSize, &jpegs[i]);
            code != ZY_OK)
            return code;
        position = records[i]->NextOffset;
    }
    return ZY_OK;
}

int64_t ZyGetCurThumbnailOffset(FILE* stream, ZyPicHead* head) {
    if (const int code = ReadHead(stream, head, nullptr); code != ZY_OK) return code;
    if (head->MacrographCount == 0 || head->PersonInfoFlag == 0) return kPersonOffset;

    uint64_t position = kMacroChainStart;
    for (uint32_t i = 0; i < MacroRecordsToRead(*head); ++i) {
        ZyMacrographInfo record{};
        if (const int code = ReadMacroHead(stream, position, &record); code != ZY_OK) return code;
        position = record.NextOffset;
    }
    if (!SeekTo(stream, position)) return ZY_E_SHORT_READ;
    return static_cast<int64_t>(position);
}

int64_t ZyGetLayerOffset(FILE* stream, ZyPicHead* head, int layer) {
    const int64_t thumbnail = ZyGetCurThumbnailOffset(stream, head);
    if (thumbnail < 0) return thumbnail;
    if (static_cast<uint32_t>(layer) >= head->Layer) return ZY_E_LAYER;

    // A chain of layer + 2 records (thumbnail included) needs that many records' worth of file;
    // anything shorter could only be walked through a loop. Records may lie anywhere, before the
    // thumbnail too, so the whole file counts.
    const int64_t fileSize = StreamSize(stream);
    const uint64_t needed = (static_cast<uint64_t>(static_cast<uint32_t>(layer)) + 2) * 122;
    if (fileSize < 0 || needed > static_cast<uint64_t>(fileSize)) return ZY_E_PIC_MAGIC;

    ZyPicInfo record{};
    uint64_t position = static_cast<uint64_t>(thumbnail);
    for (uint32_t i = 0; i <= static_cast<uint32_t>(layer); ++i) {
        if (ReadPicRecord(stream, position, &record, ZY_E_PIC_MAGIC) != ZY_OK)
            return ZY_E_PIC_MAGIC;
        position = record.NextOffset;
    }
    if (!SeekTo(stream, position)) return ZY_E_PIC_MAGIC;
    return static_cast<int64_t>(position);
}

int ZyGetThumbnailInfoAndJpeg(FILE* stream, ZyPicInfo* thumb, int* width, int* height,
                              unsigned char** data) {
    ZyPicHead head{};
    const int64_t offset = ZyGetCurThumbnailOffset(stream, &head);
    if (offset < 0) return static_cast<int>(offset);
    // The sizes come from the header and are reported even when the record turns out broken.
    if (width != nullptr) *width = static_cast<int>(head.ThumbWidth);
    if (height != nullptr) *height = static_cast<int>(head.ThumbHeight);
    if (thumb == nullptr || data == nullptr) return ZY_E_NULL;

    if (const int code =
            ReadPicRecord(stream, static_cast<uint64_t>(offset), thumb, ZY_E_SHORT_READ);
        code != ZY_OK)
        return code;
    return ReadPayload(stream, StreamSize(stream), thumb->DataSize, data);
}

int ZyGetPicInfoOfSpecifyLayer(FILE* stream, ZyPicInfo* picInfo, int layer) {
    ZyPicHead head{};
    const int64_t offset = ZyGetLayerOffset(stream, &head, layer);
    if (offset < 0) return static_cast<int>(offset);
    if (picInfo == nullptr) return ZY_E_NULL;
    return ReadPicRecord(stream, static_cast<uint64_t>(offset), picInfo, ZY_E_SHORT_READ);
}
