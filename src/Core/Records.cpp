// The record functions of the Tarn format, over the bounds-checked reader.
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Common/Geometry.h"
#include "Common/Status.h"
#include "Core/RecordLayout.h"
#include "Core/Records.h"

namespace tarn {
namespace {

bool ReadSource(FileReader& reader, uint64_t offset, void* out, uint64_t count) {
    if (count == 0) return true;
    if (reader.stream != nullptr) {
        FILE* stream = static_cast<FILE*>(reader.stream);
        return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0 &&
               fread(out, static_cast<size_t>(count), 1, stream) == 1;
    }
    if (InWindow(reader, offset, count)) {
        memcpy(out, reader.window + (offset - reader.windowStart), static_cast<size_t>(count));
        return true;
    }
    if (reader.source == nullptr || count > SIZE_MAX) return false;
    reader.failure =
        ReadFromSource(*reader.source, offset, out, static_cast<size_t>(count), reader.why);
    return reader.failure == Status::Ok;
}

}  // namespace

FileReader ReaderOverSource(const ByteSource& source, Error* why) {
    FileReader reader;
    reader.source = &source;
    reader.size = source.size;
    reader.why = why;
    return reader;
}

bool ReaderOverStream(void* stream, FileReader* reader) {
    FILE* file = static_cast<FILE*>(stream);
    if (file == nullptr) return false;
    int64_t size = -1;
    struct stat status {};
    const int fd = fileno(file);
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        size = static_cast<int64_t>(status.st_size);
    } else {
        // Streams without a regular file behind them (memory streams): measure by seeking.
        const off_t position = ftello(file);
        if (position < 0 || fseeko(file, 0, SEEK_END) != 0) return false;
        size = static_cast<int64_t>(ftello(file));
        if (fseeko(file, position, SEEK_SET) != 0) return false;
    }
    if (size < 0) return false;
    *reader = {};
    reader->stream = stream;
    reader->size = static_cast<uint64_t>(size);
    return true;
}

bool InWindow(const FileReader& reader, uint64_t offset, uint64_t count) {
    return reader.window != nullptr && offset >= reader.windowStart &&
           offset - reader.windowStart <= reader.windowLength &&
           count <= reader.windowLength - (offset - reader.windowStart);
}

bool ReadBytesAt(FileReader& reader, uint64_t offset, void* out, uint64_t count) {
    if (offset > reader.size || count > reader.size - offset) return false;
    if (!ReadSource(reader, offset, out, count)) return false;
    reader.offset = offset + count;
    return true;
}

uint64_t ReadAvailableAt(FileReader& reader, uint64_t offset, void* out, uint64_t count) {
    if (offset > reader.size) return 0;
    const uint64_t available = count < reader.size - offset ? count : reader.size - offset;
    if (!ReadSource(reader, offset, out, available)) return 0;
    reader.offset = offset + available;
    return available;
}

void ReadHead(FileReader& reader, SlideHead* head) {
    ReadAvailableAt(reader, 0, head, kHeadSize);
}

Status CheckHead(const SlideHead& head) {
    return HasMagic(head.Magic, "ZY") ? Status::Ok : Status::BadHeadMagic;
}

bool HeadUsable(const SlideHead& head, uint64_t fileSize) {
    // Every output size of a tile (3 or 4 bytes per pixel) must be countable in an int.
    uint64_t tileBytes = 0;
    if (head.TileWidth == 0 || head.TileHeight == 0 ||
        !CheckedMultiply(uint64_t{head.TileWidth} * head.TileHeight, 4, &tileBytes) ||
        tileBytes > static_cast<uint64_t>(INT_MAX))
        return false;
    if (fileSize < kHeadSize || head.Layer == 0) return false;
    if (head.MacrographCount != 0 && head.MacrographCount != static_cast<uint32_t>(kMacroSlots))
        return false;
    // Each layer needs at least its record; this also bounds the per-layer arrays.
    if (uint64_t{head.Layer} * kPicRecordSize > fileSize) return false;
    if (head.PersonInfoFlag != 0 && fileSize < kExtraOffset) return false;
    if (head.PersonInfoFlag != 0 && head.ExtraInfoFlag != 0 && fileSize < kMacroChainStart)
        return false;
    return true;
}

Status ReadPerson(FileReader& reader, const SlideHead& head, PersonRecord* person) {
    if (head.PersonInfoFlag == 0) return Status::Absent;
    ReadAvailableAt(reader, kPersonOffset, person, sizeof *person);
    return HasMagic(person->Magic, "PI") ? Status::Ok : Status::BadPersonMagic;
}

Status ReadExtra(FileReader& reader, const SlideHead& head, ExtraRecord* extra) {
    if (head.PersonInfoFlag == 0 || head.ExtraInfoFlag == 0) return Status::Absent;
    ReadAvailableAt(reader, kExtraOffset, extra, sizeof *extra);
    return HasMagic(extra->Magic, "EI") ? Status::Ok : Status::BadExtraMagic;
}

uint32_t MacroRecordCount(const SlideHead& head) {
    return head.MacrographCount < static_cast<uint32_t>(kMacroSlots)
               ? head.MacrographCount
               : static_cast<uint32_t>(kMacroSlots);
}

Status ReadMacroRecord(FileReader& reader, uint64_t* position, MacroRecord* record,
                       unsigned char** payload) {
    if (!ReadBytesAt(reader, *position, record, kMacroHeadSize)) return Status::ShortRead;
    if (!HasMagic(record->Magic, "MI")) return Status::BadMacroMagic;
    if (payload != nullptr)
        if (const Status code = ReadPayload(reader, record->DataSize, payload); code != Status::Ok)
            return code;
    *position = record->NextOffset;
    return Status::Ok;
}

uint64_t ThumbnailOffset(const SlideHead& head, uint64_t chainEnd) {
    return head.MacrographCount != 0 && head.PersonInfoFlag != 0 ? chainEnd : kPersonOffset;
}

Status ReadPicRecord(FileReader& reader, uint64_t offset, PictureRecord* record, Status shortCode) {
    if (!ReadBytesAt(reader, offset, record, kPicRecordSize)) return shortCode;
    return HasMagic(record->Magic, "IF") ? Status::Ok : Status::BadPictureMagic;
}

Status SkipPayload(FileReader& reader, uint64_t size) {
    if (size > BytesLeft(reader)) return Status::ShortRead;
    reader.offset += size;
    return Status::Ok;
}

Status ReadPayload(FileReader& reader, uint64_t size, unsigned char** out) {
    if (size > BytesLeft(reader)) return Status::ShortRead;
    auto* bytes = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
    if (bytes == nullptr) return Status::NoMemory;
    if (!ReadBytes(reader, bytes, size)) {
        free(bytes);
        return Status::ShortRead;
    }
    *out = bytes;
    return Status::Ok;
}

bool LayerRecordUsable(const PictureRecord& record, const SlideHead& head) {
    const LayerGeometry layer = GeometryOf(head, record);
    const uint64_t addressed = layer.columns * layer.rows;
    return layer.gridWidth() <= static_cast<uint64_t>(INT32_MAX) &&
           layer.gridHeight() <= static_cast<uint64_t>(INT32_MAX) &&
           uint64_t{record.TileCount} >= addressed &&
           uint64_t{record.TileCount} - addressed <= kSpareTableEntries;
}

uint64_t TileTableBytes(const PictureRecord& record) {
    return uint64_t{record.TileCount} * sizeof(uint32_t);
}

void ComputeTileOffsets(uint64_t first, const uint32_t* sizes, uint32_t count, uint64_t* offsets) {
    uint64_t position = first;
    for (uint32_t i = 0; i < count; ++i) {
        offsets[i] = position;
        // Negative sizes move backwards; unsigned arithmetic keeps that defined, and such a tile
        // fails when it is read.
        position += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(sizes[i])));
    }
}

}  // namespace tarn
