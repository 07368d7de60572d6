// Opening and closing a slide. A slide is either fully built or does not exist: every failure
// unwinds what was read and returns null. The open reads every record once, in chain order,
// through one bounds-checked reader; it reads ahead so that records lying near each other come
// in one read of the source, which a network source needs far more than a file.
#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "Common/ForkHeld.h"
#include "Common/Geometry.h"
#include "Common/Status.h"
#include "Core/AssociatedCache.h"
#include "Core/FileSource.h"
#include "Core/LayerIndex.h"
#include "Core/RecordLayout.h"
#include "Core/Records.h"
#include "Core/Slide.h"
#include "Core/PixelCache.h"
#include "Core/RemoteSource.h"

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
// A range past the end is left to the reads, which refuse it. Status::Ok or the source's failure.
Status Cover(FileReader& reader, ReadAhead& ahead, uint64_t offset, uint64_t needed,
             uint64_t wanted = 0) {
    if (offset >= reader.size || InWindow(reader, offset, std::min(needed, reader.size - offset)))
        return Status::Ok;
    if (CoverFromIndex(reader, ahead, offset, std::min(needed, reader.size - offset)))
        return Status::Ok;
    const uint64_t left = reader.size - offset;
    const uint64_t length = ReadLength(reader, ahead, offset, std::min(needed, left),
                                       std::min(std::max(needed, wanted), left));
    try {
        ahead.bytes.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        return Status::NoMemory;
    }
    reader.window = nullptr;
    const Status code = ReadFromSource(*reader.source, offset, ahead.bytes.data(),
                                       static_cast<size_t>(length), reader.why);
    // Bytes read only ahead may fail to come where the needed ones would not (a reader that
    // cannot deliver some stretch): the records are then read as they are needed.
    if (code != Status::Ok) return length > needed ? Status::Ok : (reader.failure = code);
    reader.window = ahead.bytes.data();
    reader.windowStart = offset;
    reader.windowLength = length;
    return Status::Ok;
}

// The code of a record read that failed: the source's own failure when it had one, else `code`.
Status ReadFailure(const FileReader& reader, Status code) {
    return reader.failure != Status::Ok ? reader.failure : code;
}

// The label/macrograph records, without their bytes: their extents are checked against the file,
// and `*chainEnd` is where the chain ends.
Status ReadMacroRecords(FileReader& reader, ReadAhead& ahead, SlideRecords& records,
                        uint64_t* chainEnd) {
    const uint32_t count = MacroRecordCount(records.head);
    uint64_t position = kMacroChainStart;
    for (uint32_t i = 0; i < count; ++i) {
        if (const Status code = Cover(reader, ahead, position, kMacroHeadSize); code != Status::Ok)
            return code;
        const uint64_t at = position;
        if (const Status code = ReadMacroRecord(reader, &position, &records.macro[i], nullptr);
            code != Status::Ok)
            return ReadFailure(reader, code);
        records.macroData[i] = at + kMacroHeadSize;
        if (const Status code = SkipPayload(reader, records.macro[i].DataSize); code != Status::Ok)
            return code;
    }
    records.macroCount = count;
    *chainEnd = position;
    return Status::Ok;
}

Status ReadThumbnailRecord(FileReader& reader, ReadAhead& ahead, SlideRecords& records,
                           uint64_t chainEnd) {
    const uint64_t offset = ThumbnailOffset(records.head, chainEnd);
    if (const Status code = Cover(reader, ahead, offset, kPicRecordSize); code != Status::Ok)
        return code;
    if (const Status code = ReadPicRecord(reader, offset, &records.thumb, Status::ShortRead);
        code != Status::Ok)
        return ReadFailure(reader, code);
    records.thumbData = offset + kPicRecordSize;
    return SkipPayload(reader, records.thumb.DataSize);
}

// How many tile table entries to read ahead with the record of layer `k`: the header's picture
// in tiles for layer 0, the previous layer's count after it (a layer rarely has more tiles than
// the one above it). A guess only: a table longer than what was read ahead is read on its own.
uint64_t ExpectedTiles(const SlideRecords& records, size_t k) {
    if (k > 0) return records.layers[k - 1].TileCount;
    const SlideHead& head = records.head;
    return TilesToCover(head.ImageWidth, head.TileWidth) *
           TilesToCover(head.ImageHeight, head.TileHeight);
}

// Reads ahead at most this much for a table: a damaged header must not make the open read the
// whole file.
constexpr uint64_t kMostTableReadAhead = uint64_t{16} << 20;

Status ReadTileTable(FileReader& reader, uint64_t tableOffset, const PictureRecord& record,
                     LayerTable* table) {
    const uint32_t count = record.TileCount;
    if (count == 0) return Status::Ok;
    table->sizes = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * count));
    table->offsets = static_cast<uint64_t*>(malloc(sizeof(uint64_t) * count));
    if (table->sizes == nullptr || table->offsets == nullptr) return Status::NoMemory;
    if (!ReadBytesAt(reader, tableOffset, table->sizes, TileTableBytes(record)))
        return ReadFailure(reader, Status::ShortRead);
    ComputeTileOffsets(tableOffset + TileTableBytes(record), table->sizes, count, table->offsets);
    return Status::Ok;
}

// Every layer's record and tile table. In any real file the layer records and their tables are
// disjoint stretches of the file, so together they fit in it; a chain that loops or overlaps
// itself does not. The budget refuses large overlaps before their tables are allocated, the span
// check any overlap at all. Tables read so far stay in the slide for CloseSlide to release.
Status ReadLayerRecords(FileReader& reader, ReadAhead& ahead, Slide& slide) {
    SlideRecords& records = slide.records;
    const SlideHead& head = records.head;
    uint64_t budget = reader.size;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    try {
        records.layers.resize(head.Layer);
        records.layerOffsets.resize(head.Layer);
        slide.tables.resize(head.Layer);
        spans.reserve(head.Layer);
    } catch (const std::bad_alloc&) {
        return Status::NoMemory;
    }
    uint64_t offset = records.thumb.NextOffset;
    for (uint32_t k = 0; k < head.Layer; ++k) {
        const uint64_t expected = std::min(
            kPicRecordSize + ExpectedTiles(records, k) * sizeof(uint32_t), kMostTableReadAhead);
        if (const Status code = Cover(reader, ahead, offset, kPicRecordSize, expected);
            code != Status::Ok)
            return code;
        PictureRecord& record = records.layers[k];
        records.layerOffsets[k] = offset;
        if (const Status code = ReadPicRecord(reader, offset, &record, Status::BadPictureMagic);
            code != Status::Ok)
            return ReadFailure(reader, code);
        if (!LayerRecordUsable(record, head)) return Status::BadPictureMagic;

        const uint64_t span = kPicRecordSize + TileTableBytes(record);
        if (span > reader.size - offset || span > budget) return Status::ShortRead;
        budget -= span;
        spans.emplace_back(offset, offset + span);
        if (const Status code =
                ReadTileTable(reader, offset + kPicRecordSize, record, &slide.tables[k]);
            code != Status::Ok)
            return code;
        offset = record.NextOffset;
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) return Status::BadPictureMagic;
    return Status::Ok;
}

// The levels' tile layout over the tables read.
Status LayOut(Slide& slide) {
    const SlideRecords& records = slide.records;
    try {
        slide.layers.resize(records.layers.size());
    } catch (const std::bad_alloc&) {
        return Status::NoMemory;
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
    return Status::Ok;
}

// Reads the whole slide, records in chain order; Status::Ok, Status::NoMemory, the source's
// failure, or the code of the damage found.
Status ReadSlide(FileReader& reader, ReadAhead& ahead, Slide& slide) {
    SlideRecords& records = slide.records;
    if (const Status code = Cover(reader, ahead, 0, kHeadSize); code != Status::Ok) return code;
    ReadHead(reader, &records.head);
    if (reader.failure != Status::Ok) return reader.failure;
    const SlideHead& head = records.head;
    if (const Status code = CheckHead(head); code != Status::Ok) return code;
    if (!HeadUsable(head, reader.size)) return Status::BadHeadMagic;
    if (const Status code = ReadPerson(reader, head, &records.person); code != Status::Absent) {
        if (code != Status::Ok) return ReadFailure(reader, code);
        records.hasPerson = true;
    }
    if (const Status code = ReadExtra(reader, head, &records.extra); code != Status::Absent) {
        if (code != Status::Ok) return ReadFailure(reader, code);
        records.hasExtra = true;
    }
    if (reader.failure != Status::Ok) return reader.failure;

    uint64_t chainEnd = kMacroChainStart;
    if (const Status code = ReadMacroRecords(reader, ahead, records, &chainEnd); code != Status::Ok)
        return code;
    if (const Status code = ReadThumbnailRecord(reader, ahead, records, chainEnd);
        code != Status::Ok)
        return code;
    if (const Status code = ReadLayerRecords(reader, ahead, slide); code != Status::Ok) return code;
    if (const Status code = LayOut(slide); code != Status::Ok) return code;

    const ColorParams params = ColorParamsOf(records.hasExtra ? &records.extra : nullptr);
    slide.lut = AcquireColorLut(params);
    if (slide.lut == nullptr) return Status::NoMemory;
    slide.colorTag = ColorTagOf(params);
    return Status::Ok;
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

Slide* Fail(OpenFailure* failure, OpenError error, const Error* why = nullptr) {
    if (failure != nullptr) {
        failure->error = error;
        if (why != nullptr) failure->why = *why;
    }
    return nullptr;
}

Status ReadPayloadOf(Slide& slide, uint64_t offset, uint64_t size, unsigned char** out,
                     Error* why) {
    if (size > SIZE_MAX - 1) return Status::ShortRead;
    auto* bytes = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
    if (bytes == nullptr) {
        Say(why, "out of memory");
        return Status::NoMemory;
    }
    const Status code = ReadFromSource(slide.source, offset, bytes, static_cast<size_t>(size), why);
    if (code != Status::Ok) {
        free(bytes);
        return code;
    }
    *out = bytes;
    return Status::Ok;
}

Status ReadAssociated(Slide& slide, Error* why) {
    if (CopyKeptAssociated(slide.source, slide.colorTag, slide.associated)) return Status::Ok;
    const SlideRecords& records = slide.records;
    const ByteRange ranges[] = {{records.macroData[0], records.macro[0].DataSize},
                                {records.macroData[1], records.macro[1].DataSize},
                                {records.thumbData, records.thumb.DataSize}};
    HintReads(slide.source, records.macroCount > 0 ? ranges : ranges + 2,
              records.macroCount > 0 ? 1 + records.macroCount : 1);
    const ColorLookup lookup = LookupOf(slide.lut);
    unsigned char* data[kAssociatedKinds] = {};
    Status code = Status::Ok;
    for (uint32_t i = 0; i < records.macroCount && code == Status::Ok; ++i)
        code = ReadPayloadOf(slide, records.macroData[i], records.macro[i].DataSize, &data[i], why);
    if (code == Status::Ok)
        code = ReadPayloadOf(slide, records.thumbData, records.thumb.DataSize, &data[2], why);
    if (code != Status::Ok) {
        for (unsigned char* bytes : data)
            free(bytes);
        return code;
    }
    for (uint32_t i = 0; i < records.macroCount; ++i)
        BuildPairImage(records.macro[i], data[i], lookup, &slide.associated[i]);
    BuildThumbnailImage(records.thumb, records.head.ThumbWidth, records.head.ThumbHeight, data[2],
                        lookup, &slide.associated[2]);
    KeepAssociated(slide.source, slide.colorTag, slide.associated);
    return Status::Ok;
}

// The slides open in this process. fork() copies only the thread that calls it, while a read on
// another thread (the library's own coarse-level build among them) may hold a slide's cache lock:
// the locks are all taken around the fork, so the child finds them free.
ForkHeld<Slide>& Opened() {
    static auto* opened = new ForkHeld<Slide>;  // never destroyed: slides may outlive exit
    return *opened;
}

void LockSlidesForFork() {
    Opened().LockAll([](Slide& slide) { slide.cacheLock.lock(); });
}

void UnlockSlidesAfterFork() {
    Opened().UnlockAll([](Slide& slide) { slide.cacheLock.unlock(); });
}

bool NoteOpen(Slide* slide) {
    // The default cache is made under a slide's cache lock: its fork handler is set first, so
    // that this one, run before it, takes the slides' locks before the caches'.
    static const bool forkSafe =
        DefaultPixelCache() != nullptr &&
        pthread_atfork(LockSlidesForFork, UnlockSlidesAfterFork, UnlockSlidesAfterFork) == 0;
    (void)forkSafe;
    return Opened().Add(slide);
}

void NoteClosed(Slide* slide) {
    Opened().Remove(slide);
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
    Error why;
    FileReader reader = ReaderOverSource(slide->source, &why);
    ReadAhead ahead;
    if (source.readAhead != 0) ahead.amount = source.readAhead;
    ahead.index = FindLayerIndex(source);
    Status code = ReadSlide(reader, ahead, *slide);
    const auto sourceFailed = [&] {
        return reader.failure != Status::Ok && reader.failure == code;
    };
    if (code != Status::Ok && code != Status::NoMemory && !sourceFailed() &&
        ahead.index != nullptr) {
        // Whatever the index holds, it is not these bytes: it goes, and the source tells.
        ForgetLayerIndex(source);
        DropRecords(*slide);
        why = Error{};
        reader = ReaderOverSource(slide->source, &why);
        ahead.index = nullptr;
        code = ReadSlide(reader, ahead, *slide);
    }
    if (code != Status::Ok) {
        CloseSlide(slide);
        if (code == Status::NoMemory) return Fail(failure, OpenError::NoMemory);
        return Fail(failure, sourceFailed() ? OpenError::SourceFailed : OpenError::Damaged, &why);
    }
    if (!WatchRemoteRecords(*slide) || !NoteOpen(slide)) {
        CloseSlide(slide);
        return Fail(failure, OpenError::NoMemory);
    }
    if (ahead.index == nullptr) KeepLayerIndex(*slide);
    slide->sourceKey = AcquireSourceKey(source.identity, source.identitySize);
    if (failure != nullptr) *failure = OpenFailure{};
    return slide;
}

void CloseSlide(Slide* slide) {
    if (slide == nullptr) return;
    NoteClosed(slide);
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

Status LoadAssociatedImages(Slide& slide, Error* why) {
    std::call_once(slide.associatedOnce,
                   [&] { slide.associatedCode = ReadAssociated(slide, &slide.associatedWhy); });
    if (slide.associatedCode != Status::Ok && why != nullptr) *why = slide.associatedWhy;
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
