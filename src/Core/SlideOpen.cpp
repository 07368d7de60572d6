// Opening and closing a slide. A slide is either fully built or does not exist: every failure
// unwinds what was read and returns null. The open reads every record once, in chain order,
// through one bounds-checked reader; it reads ahead so that records lying near each other come
// in one read of the source, which a network source needs far more than a file.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "Common/Geometry.h"
#include "Common/Status.h"
#include "Core/FileSource.h"
#include "Core/LayerIndex.h"
#include "Core/RecordLayout.h"
#include "Core/Records.h"
#include "Core/Slide.h"
#include "Core/PixelCache.h"

namespace tarn {
namespace {

// A read-ahead buffer behind the reader's window, and the index the layer records may come from.
struct ReadAhead {
    std::vector<uint8_t> bytes;
    uint64_t amount = kDefaultReadAhead;  // how much to ask for at once
    std::shared_ptr<const LayerIndex> index;
    bool askedForTail = false;
};

// Whether the window can be put over the stretch of the index that holds [offset, + needed).
bool CoverFromIndex(FileReader& reader, const ReadAhead& ahead, uint64_t offset, uint64_t needed) {
    const IndexExtent* extent =
        ahead.index != nullptr ? IndexExtentHolding(*ahead.index, offset, needed) : nullptr;
    if (extent == nullptr) return false;
    reader.window = extent->bytes.data();
    reader.windowStart = extent->offset;
    reader.windowLength = extent->bytes.size();
    return true;
}

// How much to read at `offset`, where `needed` bytes must come and `wanted` bytes are of use
// (both within the slide): what the source holds already of the wanted ones when that covers the
// needed ones, else the read-ahead amount. The first read that goes out to a source which holds
// fetched bytes also asks for the slide's last bytes, in parallel: a pyramid's smallest levels
// lie at the end, and their records are read next.
uint64_t ReadLength(const FileReader& reader, ReadAhead& ahead, uint64_t offset, uint64_t needed,
                    uint64_t wanted) {
    const ByteSource& source = *reader.source;
    const uint64_t left = reader.size - offset;
    const uint64_t length = std::min(std::max(wanted, ahead.amount), left);
    if (source.held == nullptr) return length;
    if (const uint64_t held = source.held(source.context, offset, wanted); held >= needed)
        return held;
    if (!ahead.askedForTail) {
        ahead.askedForTail = true;
        const uint64_t tail = std::min(ahead.amount, reader.size);
        const ByteRange ranges[] = {{offset, length}, {reader.size - tail, tail}};
        HintReads(source, ranges, 2);
    }
    return length;
}

// Puts [offset, offset + needed) in the reader's window unless it is there: reads `wanted` bytes
// (at least `needed`, at least the read-ahead amount, at most what the source holds from there).
// A range past the end is left to the reads, which refuse it. ZY_OK or the source's failure.
int Cover(FileReader& reader, ReadAhead& ahead, uint64_t offset, uint64_t needed,
          uint64_t wanted = 0) {
    if (offset >= reader.size || InWindow(reader, offset, std::min(needed, reader.size - offset)))
        return ZY_OK;
    if (CoverFromIndex(reader, ahead, offset, std::min(needed, reader.size - offset))) return ZY_OK;
    const uint64_t left = reader.size - offset;
    const uint64_t length = ReadLength(reader, ahead, offset, std::min(needed, left),
                                       std::min(std::max(needed, wanted), left));
    try {
        ahead.bytes.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    reader.window = nullptr;
    const int code = ReadFromSource(*reader.source, offset, ahead.bytes.data(),
                                    static_cast<size_t>(length), reader.why);
    // Bytes read only ahead may fail to come where the needed ones would not (a reader that
    // cannot deliver some stretch): the records are then read as they are needed.
    if (code != ZY_OK) return length > needed ? ZY_OK : (reader.failure = code);
    reader.window = ahead.bytes.data();
    reader.windowStart = offset;
    reader.windowLength = length;
    return ZY_OK;
}

// The code of a record read that failed: the source's own failure when it had one, else `code`.
int ReadFailure(const FileReader& reader, int code) {
    return reader.failure != ZY_OK ? reader.failure : code;
}

// The label/macrograph records, without their bytes: their extents are checked against the file,
// and `*chainEnd` is where the chain ends.
int ReadMacroRecords(FileReader& reader, ReadAhead& ahead, SlideRecords& records,
                     uint64_t* chainEnd) {
    const uint32_t count = MacroRecordCount(records.head);
    uint64_t position = kMacroChainStart;
    for (uint32_t i = 0; i < count; ++i) {
        if (const int code = Cover(reader, ahead, position, kMacroHeadSize); code != ZY_OK)
            return code;
        const uint64_t at = position;
        if (const int code = ReadMacroRecord(reader, &position, &records.macro[i], nullptr);
            code != ZY_OK)
            return ReadFailure(reader, code);
        records.macroData[i] = at + kMacroHeadSize;
        if (const int code = SkipPayload(reader, records.macro[i].DataSize); code != ZY_OK)
            return code;
    }
    records.macroCount = count;
    *chainEnd = position;
    return ZY_OK;
}

int ReadThumbnailRecord(FileReader& reader, ReadAhead& ahead, SlideRecords& records,
                        uint64_t chainEnd) {
    const uint64_t offset = ThumbnailOffset(records.head, chainEnd);
    if (const int code = Cover(reader, ahead, offset, kPicRecordSize); code != ZY_OK) return code;
    if (const int code = ReadPicRecord(reader, offset, &records.thumb, ZY_E_SHORT_READ);
        code != ZY_OK)
        return ReadFailure(reader, code);
    records.thumbData = offset + kPicRecordSize;
    return SkipPayload(reader, records.thumb.DataSize);
}

// How many tile table entries to read ahead with the record of layer `k`: the header's picture
// in tiles for layer 0, the previous layer's count after it (a layer rarely has more tiles than
// the one above it). A guess only: a table longer than what was read ahead is read on its own.
uint64_t ExpectedTiles(const SlideRecords& records, size_t k) {
    if (k > 0) return records.layers[k - 1].TileCount;
    const ZyPicHead& head = records.head;
    return TilesToCover(head.ImageWidth, head.TileWidth) *
           TilesToCover(head.ImageHeight, head.TileHeight);
}

// Reads ahead at most this much for a table: a damaged header must not make the open read the
// whole file.
constexpr uint64_t kMostTableReadAhead = uint64_t{16} << 20;

int ReadTileTable(FileReader& reader, uint64_t tableOffset, const ZyPicInfo& record,
                  LayerTable* table) {
    const uint32_t count = record.TileCount;
    if (count == 0) return ZY_OK;
    table->sizes = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * count));
    table->offsets = static_cast<uint64_t*>(malloc(sizeof(uint64_t) * count));
    if (table->sizes == nullptr || table->offsets == nullptr) return kNoMemory;
    if (!ReadBytesAt(reader, tableOffset, table->sizes, TileTableBytes(record)))
        return ReadFailure(reader, ZY_E_SHORT_READ);
    ComputeTileOffsets(tableOffset + TileTableBytes(record), table->sizes, count, table->offsets);
    return ZY_OK;
}

// Every layer's record and tile table. In any real file the layer records and their tables are
// disjoint stretches of the file, so together they fit in it; a chain that loops or overlaps
// itself does not. The budget refuses large overlaps before their tables are allocated, the span
// check any overlap at all. Tables read so far stay in the slide for CloseSlide to release.
int ReadLayerRecords(FileReader& reader, ReadAhead& ahead, Slide& slide) {
    SlideRecords& records = slide.records;
    const ZyPicHead& head = records.head;
    uint64_t budget = reader.size;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    try {
        records.layers.resize(head.Layer);
        records.layerOffsets.resize(head.Layer);
        slide.tables.resize(head.Layer);
        spans.reserve(head.Layer);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    uint64_t offset = records.thumb.NextOffset;
    for (uint32_t k = 0; k < head.Layer; ++k) {
        const uint64_t expected = std::min(
            kPicRecordSize + ExpectedTiles(records, k) * sizeof(uint32_t), kMostTableReadAhead);
        if (const int code = Cover(reader, ahead, offset, kPicRecordSize, expected); code != ZY_OK)
            return code;
        ZyPicInfo& record = records.layers[k];
        records.layerOffsets[k] = offset;
        if (const int code = ReadPicRecord(reader, offset, &record, ZY_E_PIC_MAGIC); code != ZY_OK)
            return ReadFailure(reader, code);
        if (!LayerRecordUsable(record, head)) return ZY_E_PIC_MAGIC;

        const uint64_t span = kPicRecordSize + TileTableBytes(record);
        if (span > reader.size - offset || span > budget) return ZY_E_SHORT_READ;
        budget -= span;
        spans.emplace_back(offset, offset + span);
        if (const int code =
                ReadTileTable(reader, offset + kPicRecordSize, record, &slide.tables[k]);
            code != ZY_OK)
            return code;
        offset = record.NextOffset;
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) return ZY_E_PIC_MAGIC;
    return ZY_OK;
}

// The levels' tile layout over the tables read.
int LayOut(Slide& slide) {
    const SlideRecords& records = slide.records;
    try {
        slide.layers.resize(records.layers.size());
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    for (size_t k = 0; k < records.layers.size(); ++k) {
        LayerTiles& layer = slide.layers[k];
        layer.grid = GeometryOf(records.head, records.layers[k]);
        layer.tileCount = records.layers[k].TileCount;
        layer.offsets = slide.tables[k].offsets;
        layer.sizes = slide.tables[k].sizes;
    }
    slide.layout.codec = CodecOf(records.head.CompressionType);
    slide.layout.tileWidth = records.head.TileWidth;
    slide.layout.tileHeight = records.head.TileHeight;
    slide.layout.layers = slide.layers.data();
    slide.layout.layerCount = static_cast<uint32_t>(slide.layers.size());
    return ZY_OK;
}

// Reads the whole slide, records in chain order; ZY_OK, kNoMemory, the source's failure, or the
// code of the damage found.
int ReadSlide(FileReader& reader, ReadAhead& ahead, Slide& slide) {
    SlideRecords& records = slide.records;
    if (const int code = Cover(reader, ahead, 0, kHeadSize); code != ZY_OK) return code;
    ReadHead(reader, &records.head);
    if (reader.failure != ZY_OK) return reader.failure;
    const ZyPicHead& head = records.head;
    if (const int code = CheckHead(head); code != ZY_OK) return code;
    if (!HeadUsable(head, reader.size)) return ZY_E_HEAD_MAGIC;
    if (const int code = ReadPerson(reader, head, &records.person); code != ZY_E_ABSENT) {
        if (code != ZY_OK) return ReadFailure(reader, code);
        records.hasPerson = true;
    }
    if (const int code = ReadExtra(reader, head, &records.extra); code != ZY_E_ABSENT) {
        if (code != ZY_OK) return ReadFailure(reader, code);
        records.hasExtra = true;
    }
    if (reader.failure != ZY_OK) return reader.failure;

    uint64_t chainEnd = kMacroChainStart;
    if (const int code = ReadMacroRecords(reader, ahead, records, &chainEnd); code != ZY_OK)
        return code;
    if (const int code = ReadThumbnailRecord(reader, ahead, records, chainEnd); code != ZY_OK)
        return code;
    if (const int code = ReadLayerRecords(reader, ahead, slide); code != ZY_OK) return code;
    if (const int code = LayOut(slide); code != ZY_OK) return code;

    const ColorParams params = ColorParamsOf(records.hasExtra ? &records.extra : nullptr);
    slide.lut = AcquireColorLut(params);
    if (slide.lut == nullptr) return kNoMemory;
    slide.colorTag = ColorTagOf(params);
    return ZY_OK;
}

// Empties what a failed ReadSlide left in the slide, for another try.
void DropRecords(Slide& slide) {
    for (LayerTable& table : slide.tables) {
        free(table.offsets);
        free(table.sizes);
    }
    slide.tables.clear();
    slide.layers.clear();
    slide.records = SlideRecords{};
}

Slide* Fail(OpenFailure* failure, OpenError error, const Message* why = nullptr) {
    if (failure != nullptr) {
        failure->error = error;
        if (why != nullptr) failure->why = *why;
    }
    return nullptr;
}

int ReadPayloadOf(Slide& slide, uint64_t offset, uint64_t size, unsigned char** out, Message* why) {
    if (size > SIZE_MAX - 1) return ZY_E_SHORT_READ;
    auto* bytes = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
    if (bytes == nullptr) {
        Say(why, "out of memory");
        return kNoMemory;
    }
    const int code = ReadFromSource(slide.source, offset, bytes, static_cast<size_t>(size), why);
    if (code != ZY_OK) {
        free(bytes);
        return code;
    }
    *out = bytes;
    return ZY_OK;
}

int ReadAssociated(Slide& slide, Message* why) {
    const SlideRecords& records = slide.records;
    const ByteRange ranges[] = {{records.macroData[0], records.macro[0].DataSize},
                                {records.macroData[1], records.macro[1].DataSize},
                                {records.thumbData, records.thumb.DataSize}};
    HintReads(slide.source, records.macroCount > 0 ? ranges : ranges + 2,
              records.macroCount > 0 ? 1 + records.macroCount : 1);
    const ColorLookup lookup = LookupOf(slide.lut);
    unsigned char* data[kAssociatedKinds] = {};
    int code = ZY_OK;
    for (uint32_t i = 0; i < records.macroCount && code == ZY_OK; ++i)
        code = ReadPayloadOf(slide, records.macroData[i], records.macro[i].DataSize, &data[i], why);
    if (code == ZY_OK)
        code = ReadPayloadOf(slide, records.thumbData, records.thumb.DataSize, &data[2], why);
    if (code != ZY_OK) {
        for (unsigned char* bytes : data)
            free(bytes);
        return code;
    }
    for (uint32_t i = 0; i < records.macroCount; ++i)
        BuildPairImage(records.macro[i], data[i], lookup, &slide.associated[i]);
    BuildThumbnailImage(records.thumb, records.head.ThumbWidth, records.head.ThumbHeight, data[2],
                        lookup, &slide.associated[2]);
    return ZY_OK;
}

}  // namespace

Slide* OpenSlide(const char* path, OpenFailure* failure) {
    ByteSource source;
    if (!OpenFileSource(path, &source, failure)) return nullptr;
    return OpenSlideFrom(source, failure);
}

Slide* OpenSlideFrom(const ByteSource& source, OpenFailure* failure) {
    auto* slide = new (std::nothrow) Slide;
    if (slide == nullptr) {
        ByteSource owned = source;
        ReleaseSource(&owned);
        return Fail(failure, OpenError::NoMemory);
    }
    slide->source = source;
    const SourceCall call;
    Message why;
    FileReader reader = ReaderOverSource(slide->source, &why);
    ReadAhead ahead;
    if (source.readAhead != 0) ahead.amount = source.readAhead;
    ahead.index = FindLayerIndex(source);
    int code = ReadSlide(reader, ahead, *slide);
    const auto sourceFailed = [&] { return reader.failure != ZY_OK && reader.failure == code; };
    if (code != ZY_OK && code != kNoMemory && !sourceFailed() && ahead.index != nullptr) {
        // Whatever the index holds, it is not these bytes: it goes, and the source tells.
        ForgetLayerIndex(source);
        DropRecords(*slide);
        why = Message{};
        reader = ReaderOverSource(slide->source, &why);
        ahead.index = nullptr;
        code = ReadSlide(reader, ahead, *slide);
    }
    if (code != ZY_OK) {
        CloseSlide(slide);
        if (code == kNoMemory) return Fail(failure, OpenError::NoMemory);
        return Fail(failure, sourceFailed() ? OpenError::SourceFailed : OpenError::Damaged, &why);
    }
    if (ahead.index == nullptr) KeepLayerIndex(*slide);
    slide->sourceKey = AcquireSourceKey(source.identity, source.identitySize);
    if (failure != nullptr) *failure = OpenFailure{};
    return slide;
}

void CloseSlide(Slide* slide) {
    if (slide == nullptr) return;
    for (AssociatedImage& image : slide->associated)
        ReleaseAssociatedImage(&image);
    for (LayerTable& table : slide->tables) {
        free(table.offsets);
        free(table.sizes);
    }
    if (slide->lut != nullptr) ReleaseColorLut(slide->lut);
    ReleasePixelCache(slide->cache);
    ReleaseSourceKey(slide->sourceKey);
    ReleaseSource(&slide->source);
    delete slide;
}

int LoadAssociatedImages(Slide& slide, Message* why) {
    std::call_once(slide.associatedOnce,
                   [&] { slide.associatedCode = ReadAssociated(slide, &slide.associatedWhy); });
    if (slide.associatedCode != ZY_OK && why != nullptr) *why = slide.associatedWhy;
    return slide.associatedCode;
}

PixelCache* AcquireSlideCache(Slide& slide) {
    const std::lock_guard<std::mutex> hold(slide.cacheLock);
    PixelCache* cache = slide.cache != nullptr ? slide.cache : DefaultPixelCache();
    RetainPixelCache(cache);
    return cache;
}

ReadContext ReadContextOf(const Slide& slide, PixelCache* cache, CallFailure* failure) {
    ReadContext read;
    read.layout = &slide.layout;
    read.source = &slide.source;
    read.colors = LookupOf(slide.lut);
    read.cache = cache;
    read.sourceKey = slide.sourceKey;
    read.colorTag = slide.colorTag;
    read.failure = failure;
    return read;
}

}  // namespace tarn
