#include "DecodeTarn/SlideLayers.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "DecodeTarn/RecordLayout.h"

namespace tarn {
namespace {

constexpr uint64_t kPicRecordSize = sizeof(ZyPicInfo);

bool GridFitsInt(uint32_t count, uint32_t tileSize) {
    return uint64_t{count} * tileSize <= static_cast<uint64_t>(INT32_MAX);
}

bool ValidLayerRecord(const ZyPicInfo& record, const ZyPicHead& head) {
    return GridFitsInt(record.XCount, head.TileWidth) &&
           GridFitsInt(record.YCount, head.TileHeight) &&
           uint64_t{record.TileCount} >= uint64_t{record.XCount} * record.YCount;
}

bool ReadTileTable(FILE* stream, uint64_t tableOffset, const ZyPicInfo& record,
                   ZySliceInfo* slice) {
    const uint32_t count = record.TileCount;
    if (count == 0) return true;
    slice->Sizes = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * count));
    slice->Offsets = static_cast<uint64_t*>(malloc(sizeof(uint64_t) * count));
    if (slice->Sizes == nullptr || slice->Offsets == nullptr) return false;
    if (!SeekTo(stream, tableOffset) ||
        ZyReadData(slice->Sizes, sizeof(uint32_t), count, stream) != count)
        return false;
    ComputeTileOffsets(tableOffset + uint64_t{count} * 4, slice->Sizes, count, slice->Offsets);
    return true;
}

}  // namespace

void ComputeTileOffsets(uint64_t first, const uint32_t* sizes, uint32_t count, uint64_t* offsets) {
    uint64_t position = first;
    for (uint32_t i = 0; i < count; ++i) {
        offsets[i] = position;
        // Negative sizes move backwards; unsigned arithmetic keeps that defined, and such a tile
        // fails when it is read.
        position += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(sizes[i])));
    }
}

bool ReadLayers(FILE* stream, int64_t fileSize, const ZyPicHead& head, ZyPicInfo** picInfos,
                ZySliceInfo** sliceInfos) {
    ZyPicHead walkHead{};
    const int64_t first = ZyGetLayerOffset(stream, &walkHead, 0);
    if (first < 0) return false;

    // In any real file the layer records and their tables are disjoint stretches of the file, so
    // together they fit in it; a chain that loops or overlaps itself does not. The budget refuses
    // large overlaps before their tables are allocated, the span check any overlap at all.
    uint64_t budget = static_cast<uint64_t>(fileSize);
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    uint64_t offset = static_cast<uint64_t>(first);
    for (uint32_t k = 0; k < head.Layer; ++k) {
        picInfos[k] = static_cast<ZyPicInfo*>(calloc(1, sizeof(ZyPicInfo)));
        sliceInfos[k] = static_cast<ZySliceInfo*>(calloc(1, sizeof(ZySliceInfo)));
        if (picInfos[k] == nullptr || sliceInfos[k] == nullptr) return false;
        ZyPicInfo& record = *picInfos[k];
        if (!SeekTo(stream, offset) || !ReadExactly(stream, &record, sizeof(ZyPicInfo)) ||
            !HasMagic(record.Magic, "IF") || !ValidLayerRecord(record, head))
            return false;

        const uint64_t tableBytes = uint64_t{record.TileCount} * 4;
        if (offset > static_cast<uint64_t>(fileSize) ||
            kPicRecordSize + tableBytes > static_cast<uint64_t>(fileSize) - offset ||
            kPicRecordSize + tableBytes > budget)
            return false;
        budget -= kPicRecordSize + tableBytes;
        try {
            spans.emplace_back(offset, offset + kPicRecordSize + tableBytes);
        } catch (const std::bad_alloc&) {
            return false;
        }

        if (!ReadTileTable(stream, offset + kPicRecordSize, record, sliceInfos[k])) return false;
        offset = record.NextOffset;
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) return false;
    return true;
}

}  // namespace tarn
