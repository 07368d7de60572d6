#include "DecodeTarn/SlideLayers.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "Common/Status.h"
#include "DecodeTarn/RecordLayout.h"
#include "DecodeTarn/RecordReaders.h"

namespace tarn {
namespace {

// The table is known to lie inside the file before this allocates for it.
int ReadTileTable(FileReader& reader, uint64_t tableOffset, const ZyPicInfo& record,
                  ZySliceInfo* slice) {
    const uint32_t count = record.TileCount;
    if (count == 0) return ZY_OK;
    slice->Sizes = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * count));
    slice->Offsets = static_cast<uint64_t*>(malloc(sizeof(uint64_t) * count));
    if (slice->Sizes == nullptr || slice->Offsets == nullptr) return kNoMemory;
    if (!ReadBytesAt(reader, tableOffset, slice->Sizes, TileTableBytes(record)))
        return ZY_E_SHORT_READ;
    ComputeTileOffsets(tableOffset + TileTableBytes(record), slice->Sizes, count, slice->Offsets);
    return ZY_OK;
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

int ReadLayers(FileReader& reader, const ZyPicHead& head, uint64_t firstLayer, ZyPicInfo** picInfos,
               ZySliceInfo** sliceInfos) {
    // In any real file the layer records and their tables are disjoint stretches of the file, so
    // together they fit in it; a chain that loops or overlaps itself does not. The budget refuses
    // large overlaps before their tables are allocated, the span check any overlap at all.
    uint64_t budget = reader.size;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    uint64_t offset = firstLayer;
    for (uint32_t k = 0; k < head.Layer; ++k) {
        picInfos[k] = static_cast<ZyPicInfo*>(calloc(1, sizeof(ZyPicInfo)));
        sliceInfos[k] = static_cast<ZySliceInfo*>(calloc(1, sizeof(ZySliceInfo)));
        if (picInfos[k] == nullptr || sliceInfos[k] == nullptr) return kNoMemory;
        ZyPicInfo& record = *picInfos[k];
        if (const int code = ReadPicRecord(reader, offset, &record, ZY_E_PIC_MAGIC); code != ZY_OK)
            return code;
        if (!LayerRecordUsable(record, head)) return ZY_E_PIC_MAGIC;

        const uint64_t span = kPicRecordSize + TileTableBytes(record);
        if (span > reader.size - offset || span > budget) return ZY_E_SHORT_READ;
        budget -= span;
        try {
            spans.emplace_back(offset, offset + span);
        } catch (const std::bad_alloc&) {
            return kNoMemory;
        }

        if (const int code = ReadTileTable(reader, offset + kPicRecordSize, record, sliceInfos[k]);
            code != ZY_OK)
            return code;
        offset = record.NextOffset;
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) return ZY_E_PIC_MAGIC;
    return ZY_OK;
}

}  // namespace tarn
