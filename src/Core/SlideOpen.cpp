// Opening and closing a slide. A handle is either fully built or does not exist: every failure
// unwinds what was read and returns null. The open reads every record once, in file order, through
// one bounds-checked reader over a descriptor it opened without blocking.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ColorCorrect/ColorTables.h"
#include "Common/FileAccess.h"
#include "Common/Status.h"
#include "DecodeTarn/AssociatedImages.h"
#include "DecodeTarn/RecordLayout.h"
#include "DecodeTarn/RecordReaders.h"
#include "DecodeTarn/SlideLayers.h"
#include "DecodeTarn/SlideOpen.h"
#include "DecodeTarn/SlideState.h"
#include "DecodeTarn/TileCache.h"
#include "DecodeTarn/ZyCommon.h"

namespace tarn {
namespace {

// Reads an optional fixed record into a new member; absent (-17) leaves the member empty.
template <class Record>
int ReadOptional(FileReader& reader, const ZyPicHead& head, Record** member,
                 int (*read)(FileReader&, const ZyPicHead&, Record*)) {
    *member = static_cast<Record*>(calloc(1, sizeof(Record)));
    if (*member == nullptr) return kNoMemory;
    const int code = read(reader, head, *member);
    if (code == ZY_OK) return ZY_OK;
    free(*member);
    *member = nullptr;
    return code == ZY_E_ABSENT ? ZY_OK : code;
}

// The label/macrograph chain, heads and payloads, into the handle's pair; returns through
// `chainEnd` where the chain ends.
int ReadMacroImages(FileReader& reader, const ZyPicHead& head, const ColorLookup& lookup,
                    ZyTarnInfo* info, uint64_t* chainEnd) {
    const uint32_t count = MacroRecordCount(head);
    if (count == 0) return ZY_OK;
    ZyMacrographInfo records[macroNum] = {};
    unsigned char* payloads[macroNum] = {};
    uint64_t position = kMacroChainStart;
    int code = ZY_OK;
    for (uint32_t i = 0; i < count && code == ZY_OK; ++i)
        code = ReadMacroRecord(reader, &position, &records[i], &payloads[i]);
    if (code == ZY_OK) {
        info->MacroImages = static_cast<ZyImageInfo**>(calloc(macroNum, sizeof(ZyImageInfo*)));
        code = info->MacroImages == nullptr
                   ? kNoMemory
                   : BuildMacroImages(records, payloads, count, info->MacroImages, lookup);
    }
    for (unsigned char* payload : payloads)
        free(payload);
    *chainEnd = position;
    return code;
}

int ReadThumbImage(FileReader& reader, const ZyPicHead& head, uint64_t chainEnd,
                   const ColorLookup& lookup, ZyTarnInfo* info, uint64_t* firstLayer) {
    ZyPicInfo record{};
    if (const int code =
            ReadPicRecord(reader, ThumbnailOffset(head, chainEnd), &record, ZY_E_SHORT_READ);
        code != ZY_OK)
        return code;
    unsigned char* data = nullptr;
    if (const int code = ReadPayload(reader, record.DataSize, &data); code != ZY_OK) return code;
    info->ThumbImage = static_cast<ZyImageInfo*>(calloc(1, sizeof(ZyImageInfo)));
    if (info->ThumbImage == nullptr) {
        free(data);
        return kNoMemory;
    }
    BuildThumbImage(record, head.ThumbWidth, head.ThumbHeight, data, info->ThumbImage, lookup);
    *firstLayer = record.NextOffset;
    return ZY_OK;
}

void ReleaseMembers(ZyTarnInfo* info) {
    const int layers = info->PicHead != nullptr ? static_cast<int>(info->PicHead->Layer) : 0;
    DisposeSliceLayerInfo(info->PicInfos, info->SliceInfos, layers);
    DisposeExtraInfo(info->ExtraInfo);
    DisposeThumbImageInfo(info->ThumbImage);
    DisposeMacroImageInfo(info->MacroImages);
    DisposePersonInfo(info->PersonInfo);
    DisposePicHead(info->PicHead);
    free(info->Path);
    memset(info, 0, sizeof *info);
}

// Reads the whole slide into the handle, records in file order; ZY_OK, kNoMemory or the code of
// the damage found. Members read so far stay in the handle for the caller to release. `lut`
// receives the slide's colour table, `colorTag` its tag in the tile cache.
int ReadSlide(FileReader& reader, ZyTarnInfo* info, const ColorLut** lut, uint64_t* colorTag) {
    info->PicHead = static_cast<ZyPicHead*>(calloc(1, sizeof(ZyPicHead)));
    if (info->PicHead == nullptr) return kNoMemory;
    const ZyPicHead& head = *info->PicHead;
    ReadHead(reader, info->PicHead);
    if (const int code = CheckHead(head); code != ZY_OK) return code;
    if (!HeadUsable(head, reader.size)) return ZY_E_HEAD_MAGIC;
    if (const int code = ReadOptional(reader, head, &info->PersonInfo, ReadPerson); code != ZY_OK)
        return code;
    if (const int code = ReadOptional(reader, head, &info->ExtraInfo, ReadExtra); code != ZY_OK)
        return code;

    // The slide's own table comes first, so its associated images are decoded in its colours.
    const ColorParams params = ColorParamsOf(info->ExtraInfo);
    *lut = AcquireColorLut(params);
    if (*lut == nullptr) return kNoMemory;
    *colorTag = ColorTagOf(params);
    const ColorLookup lookup = LookupOf(*lut);

    uint64_t chainEnd = kMacroChainStart, firstLayer = 0;
    if (const int code = ReadMacroImages(reader, head, lookup, info, &chainEnd); code != ZY_OK)
        return code;
    if (const int code = ReadThumbImage(reader, head, chainEnd, lookup, info, &firstLayer);
        code != ZY_OK)
        return code;

    info->PicInfos = static_cast<ZyPicInfo**>(calloc(head.Layer, sizeof(ZyPicInfo*)));
    info->SliceInfos = static_cast<ZySliceInfo**>(calloc(head.Layer, sizeof(ZySliceInfo*)));
    if (info->PicInfos == nullptr || info->SliceInfos == nullptr) return kNoMemory;
    return ReadLayers(reader, head, firstLayer, info->PicInfos, info->SliceInfos);
}

ZyTarnInfo* Fail(OpenFailure* failure, OpenError error, int systemError = 0) {
    if (failure != nullptr) *failure = {error, systemError};
    return nullptr;
}

// The handle for a file opened as `fd`; null with `*failure` set.
ZyTarnInfo* ReadOpenedSlide(const char* path, int fd, SlideState* state, OpenFailure* failure) {
    auto* info = static_cast<ZyTarnInfo*>(calloc(1, sizeof(ZyTarnInfo)));
    if (info == nullptr) return Fail(failure, OpenError::NoMemory);
    // Callers may read Path: it stays the path they gave.
    info->Path = strdup(path);
    FileReader reader = ReaderOverDescriptor(fd, static_cast<uint64_t>(state->identity.size));
    const int code =
        info->Path == nullptr ? kNoMemory : ReadSlide(reader, info, &state->lut, &state->colorTag);
    // On success the registry takes over the slide's table reference and resolved path.
    if (code == ZY_OK && RegisterSlide(info, *state)) return info;
    ReleaseMembers(info);
    free(info);
    if (state->lut != nullptr) ReleaseColorLut(state->lut);
    state->lut = nullptr;
    return Fail(failure,
                code == ZY_OK || code == kNoMemory ? OpenError::NoMemory : OpenError::Damaged);
}

}  // namespace

int ErrnoOf(const OpenFailure& failure) {
    switch (failure.error) {
        case OpenError::None:
            return 0;
        case OpenError::NoMemory:
            return ENOMEM;
        case OpenError::SystemError:
            return failure.systemError != 0 ? failure.systemError : EIO;
        default:
            return EINVAL;
    }
}

ZyTarnInfo* OpenSlide(const char* path, OpenFailure* failure) {
    if (path == nullptr) return Fail(failure, OpenError::NoPath);
    SlideState state;
    state.path = realpath(path, nullptr);
    if (state.path == nullptr)
        return Fail(failure, errno == ENOMEM ? OpenError::NoMemory : OpenError::SystemError, errno);
    const int fd = OpenRegularFile(state.path, &state.identity);
    if (fd < 0) {
        const int error = errno;
        free(state.path);
        return Fail(failure, error == EINVAL ? OpenError::NotRegularFile : OpenError::SystemError,
                    error);
    }
    ZyTarnInfo* info = ReadOpenedSlide(path, fd, &state, failure);
    close(fd);
    if (info == nullptr) {
        free(state.path);
        return nullptr;
    }
    if (failure != nullptr) *failure = {};
    return info;
}

const ColorLut* SlideColorLut(const ZyTarnInfo* info) {
    const SlideState* state = StateOf(info);
    return state != nullptr ? state->lut : nullptr;
}

void CloseSlide(ZyTarnInfo* info) {
    if (info == nullptr) return;
    UnregisterSlide(info);
    ReleaseMembers(info);
    free(info);
}

}  // namespace tarn

using namespace tarn;

ZyTarnInfo* ZyOpenTarn(const char* path) {
    OpenFailure failure;
    ZyTarnInfo* info = OpenSlide(path, &failure);
    // The handle-less functions decode with the table of the last slide opened; a slide that
    // was read and failed leaves none, a file that never opened changes nothing.
    const bool fileWasRead = failure.error == OpenError::None ||
                             failure.error == OpenError::Damaged ||
                             failure.error == OpenError::NoMemory;
    if (fileWasRead) PublishColorTable(info != nullptr ? SlideColorLut(info) : nullptr);
    // Callers tell a damaged file from a machine without memory by errno.
    if (info == nullptr) errno = ErrnoOf(failure);
    return info;
}

void ZyCloseTarn(ZyTarnInfo* info) {
    if (info == nullptr) return;
    CloseSlide(info);
    PublishColorTable(nullptr);
}

void DisposePicHead(ZyPicHead* head) {
    free(head);
}

void DisposePersonInfo(ZyPersonInfo* person) {
    free(person);
}

void DisposeExtraInfo(ZyExtraInfo* extra) {
    free(extra);
}

void DisposeSliceLayerInfo(ZyPicInfo** picInfos, ZySliceInfo** sliceInfos, int count) {
    if (picInfos != nullptr) {
        for (int k = 0; k < count; ++k) {
            free(picInfos[k]);
            picInfos[k] = nullptr;
        }
        free(picInfos);
    }
    if (sliceInfos != nullptr) {
        for (int k = 0; k < count; ++k) {
            if (sliceInfos[k] == nullptr) continue;
            free(sliceInfos[k]->Offsets);
            free(sliceInfos[k]->Sizes);
            free(sliceInfos[k]);
            sliceInfos[k] = nullptr;
        }
        free(sliceInfos);
    }
}
