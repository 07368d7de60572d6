// Opening and closing a slide. A handle is either fully built or does not exist: every failure
// unwinds what was read and returns null.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn/AssociatedImages.h"
#include "DecodeTarn/RecordLayout.h"
#include "DecodeTarn/SlideColors.h"
#include "DecodeTarn/SlideLayers.h"
#include "DecodeTarn/SlideOpen.h"

namespace tarn {
namespace {

// Every output size of a tile (3 or 4 bytes per pixel) must be countable in an int.
bool TileSizeUsable(const ZyPicHead& head) {
    return head.TileWidth > 0 && head.TileHeight > 0 &&
           uint64_t{head.TileWidth} * head.TileHeight * 4 <= static_cast<uint64_t>(INT_MAX);
}

// What the header promises must be readable: the fixed records lie inside the file, and the
// layer and label counts are ones the format has.
bool HeaderUsable(const ZyPicHead& head, int64_t fileSize) {
    if (fileSize < kHeadSize || head.Layer == 0 || !TileSizeUsable(head)) return false;
    if (head.MacrographCount != 0 && head.MacrographCount != static_cast<uint32_t>(macroNum))
        return false;
    // Each layer needs at least its record; this also bounds the per-layer arrays.
    if (uint64_t{head.Layer} * sizeof(ZyPicInfo) > static_cast<uint64_t>(fileSize)) return false;
    if (head.PersonInfoFlag != 0 && fileSize < kExtraOffset) return false;
    if (head.PersonInfoFlag != 0 && head.ExtraInfoFlag != 0 && fileSize < kMacroChainStart)
        return false;
    return true;
}

// Reads an optional fixed record; absent (-17) leaves the member empty.
template <class Record>
bool ReadOptional(FILE* stream, Record** member, int (*read)(FILE*, Record*)) {
    *member = static_cast<Record*>(calloc(1, sizeof(Record)));
    if (*member == nullptr) return false;
    const int code = read(stream, *member);
    if (code == ZY_OK) return true;
    free(*member);
    *member = nullptr;
    return code == ZY_E_ABSENT;
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

// Reads everything after the header; false on any failure, with the members read so far left
// in the handle for the caller to release. `lut` receives the slide's colour table.
bool ReadSlide(FILE* stream, int64_t fileSize, ZyTarnInfo* info, const ColorLut** lut) {
    const ZyPicHead& head = *info->PicHead;
    if (!HeaderUsable(head, fileSize)) return false;
    if (!ReadOptional(stream, &info->PersonInfo, ZyGetPersonInfo)) return false;
    if (!ReadOptional(stream, &info->ExtraInfo, ZyGetExtraInfo)) return false;

    // The slide's own table comes first, so its associated images are decoded in its colours.
    *lut = AcquireColorLut(ColorParamsOf(info->ExtraInfo));
    if (*lut == nullptr) return false;
    const ColorLookup lookup = LookupOf(*lut);

    info->MacroImages = static_cast<ZyImageInfo**>(calloc(macroNum, sizeof(ZyImageInfo*)));
    if (info->MacroImages == nullptr) return false;
    const int macroCode = ReadMacroImages(stream, info->MacroImages, lookup);
    if (macroCode != ZY_OK) {
        DisposeMacroImageInfo(info->MacroImages);
        info->MacroImages = nullptr;
        if (macroCode != ZY_E_ABSENT) return false;
    }

    info->ThumbImage = static_cast<ZyImageInfo*>(calloc(1, sizeof(ZyImageInfo)));
    if (info->ThumbImage == nullptr || ReadThumbImage(stream, info->ThumbImage, lookup) != ZY_OK)
        return false;

    info->PicInfos = static_cast<ZyPicInfo**>(calloc(head.Layer, sizeof(ZyPicInfo*)));
    info->SliceInfos = static_cast<ZySliceInfo**>(calloc(head.Layer, sizeof(ZySliceInfo*)));
    if (info->PicInfos == nullptr || info->SliceInfos == nullptr) return false;
    return ReadLayers(stream, fileSize, head, info->PicInfos, info->SliceInfos);
}

}  // namespace
}  // namespace tarn

using namespace tarn;

namespace tarn {
namespace {

ZyTarnInfo* Fail(OpenFailure* failure, OpenError error, int systemError = 0) {
    if (failure != nullptr) *failure = {error, systemError};
    return nullptr;
}

}  // namespace

ZyTarnInfo* OpenSlide(const char* path, OpenFailure* failure) {
    if (path == nullptr) return Fail(failure, OpenError::NoPath);
    if (Access(path, F_OK) != 0) return Fail(failure, OpenError::SystemError, errno);

    auto* info = static_cast<ZyTarnInfo*>(calloc(1, sizeof(ZyTarnInfo)));
    if (info == nullptr) return Fail(failure, OpenError::NoMemory);
    info->Path = strdup(path);
    if (info->Path == nullptr) {
        free(info);
        return Fail(failure, OpenError::NoMemory);
    }
    FILE* stream = ZyOpenFile(info->Path, const_cast<char*>("rb"));
    if (stream == nullptr) {
        const int error = errno;
        free(info->Path);
        free(info);
        return Fail(failure, OpenError::SystemError, error);
    }

    const ColorLut* lut = nullptr;
    const int64_t fileSize = StreamSize(stream);
    info->PicHead = static_cast<ZyPicHead*>(calloc(1, sizeof(ZyPicHead)));
    const bool ok = info->PicHead != nullptr && ZyGetPicHead(stream, info->PicHead) == ZY_OK &&
                    ReadSlide(stream, fileSize, info, &lut);
    ZyCloseFile(stream);

    // On success the registry takes over the slide's table reference.
    if (!ok || !RegisterSlide(info, lut)) {
        ReleaseMembers(info);
        free(info);
        if (lut != nullptr) ReleaseColorLut(lut);
        return Fail(failure, OpenError::Damaged);
    }
    if (failure != nullptr) *failure = {};
    return info;
}

void CloseSlide(ZyTarnInfo* info) {
    if (info == nullptr) return;
    UnregisterSlide(info);
    ReleaseMembers(info);
    free(info);
}

}  // namespace tarn

ZyTarnInfo* ZyOpenTarn(const char* path) {
    OpenFailure failure;
    ZyTarnInfo* info = OpenSlide(path, &failure);
    // The handle-less functions decode with the table of the last slide opened; a slide that
    // was read and failed leaves none, a file that never opened changes nothing.
    const bool fileWasRead = failure.error == OpenError::None ||
                             failure.error == OpenError::Damaged ||
                             failure.error == OpenError::NoMemory;
    if (fileWasRead) PublishColorTable(info != nullptr ? SlideColorLut(info) : nullptr);
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
