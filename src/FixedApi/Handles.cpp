// ZyOpenTarn and ZyCloseTarn, and how every other call finds what a handle stands for.
#include "FixedApi/Handles.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>

#include "Common/Status.h"
#include "Core/FileSource.h"
#include "Core/PixelCache.h"
#include "Core/Records.h"
#include "FixedApi/RecordViews.h"
#include "FixedApi/ZyCommon.h"

namespace tarn {
namespace {

// Handles ZyOpenTarn returned, with their slides. Calls look handles up far more often than
// slides open and close: lookups share the lock.
struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<const ZyTarnInfo*, Slide*> slides;
};

Registry& Handles();

// fork() copies only the calling thread: the lock is held across it, so the child finds the
// registry consistent. A reader-writer lock cannot be unlocked by the child (it no longer is the
// thread that locked it), so the child's is made anew.
void LockHandles() {
    Handles().mutex.lock();
}
void UnlockHandles() {
    Handles().mutex.unlock();
}
void RenewHandleLock() {
    new (&Handles().mutex) std::shared_mutex;
}

Registry& Handles() {
    static Registry* registry = new Registry;  // never destroyed: handles may outlive exit
    static const bool forkSafe = pthread_atfork(LockHandles, UnlockHandles, RenewHandleLock) == 0;
    (void)forkSafe;
    return *registry;
}

bool Register(const ZyTarnInfo* info, Slide* slide) {
    Registry& registry = Handles();
    const std::unique_lock<std::shared_mutex> lock(registry.mutex);
    try {
        registry.slides.emplace(info, slide);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

Slide* Unregister(const ZyTarnInfo* info) {
    Registry& registry = Handles();
    const std::unique_lock<std::shared_mutex> lock(registry.mutex);
    const auto it = registry.slides.find(info);
    if (it == registry.slides.end()) return nullptr;
    Slide* slide = it->second;
    registry.slides.erase(it);
    return slide;
}

bool Complete(const ZyTarnInfo* info) {
    return info != nullptr && info->Path != nullptr && info->PicHead != nullptr &&
           info->SliceInfos != nullptr && info->PicInfos != nullptr;
}

// ---- Handles of slides the library opened: their records are the slide's; what the fixed
// ---- interface adds (pointer arrays, image and table records) is allocated here.

ZyImageInfo* ImageRecordOf(const AssociatedImage& image) {
    auto* record = static_cast<ZyImageInfo*>(calloc(1, sizeof(ZyImageInfo)));
    if (record == nullptr) return nullptr;
    record->Data = image.data;
    record->Pixels = image.pixels;
    record->Width = image.width;
    record->Height = image.height;
    record->Channels = image.channels;
    record->DataFormat = image.dataFormat;
    record->ColorSpace = image.colorSpace;
    record->DataSize = image.dataSize;
    return record;
}

// Frees what ViewSlide allocated; the slide's records, tables and images stay the slide's.
void ReleaseView(ZyTarnInfo* info) {
    const uint32_t layers = info->PicHead != nullptr ? info->PicHead->Layer : 0;
    if (info->MacroImages != nullptr)
        for (int i = 0; i < macroNum; ++i)
            free(info->MacroImages[i]);
    free(info->MacroImages);
    free(info->ThumbImage);
    if (info->SliceInfos != nullptr)
        for (uint32_t k = 0; k < layers; ++k)
            free(info->SliceInfos[k]);
    free(info->SliceInfos);
    free(info->PicInfos);
    free(info->Path);
    free(info);
}

ZyTarnInfo* ViewSlide(const char* path, Slide& slide) {
    auto* info = static_cast<ZyTarnInfo*>(calloc(1, sizeof(ZyTarnInfo)));
    if (info == nullptr) return nullptr;
    SlideRecords& records = slide.records;
    // Callers may read Path: it stays the path they gave.
    info->Path = strdup(path);
    info->PicHead = AsFixed(&records.head);
    info->PersonInfo = records.hasPerson ? AsFixed(&records.person) : nullptr;
    info->ExtraInfo = records.hasExtra ? AsFixed(&records.extra) : nullptr;
    bool ok = info->Path != nullptr;
    if (ok && records.macroCount > 0) {
        info->MacroImages = static_cast<ZyImageInfo**>(calloc(macroNum, sizeof(ZyImageInfo*)));
        ok = info->MacroImages != nullptr;
        for (uint32_t i = 0; ok && i < records.macroCount; ++i)
            ok = (info->MacroImages[i] = ImageRecordOf(slide.associated[i])) != nullptr;
    }
    if (ok) ok = (info->ThumbImage = ImageRecordOf(slide.associated[2])) != nullptr;
    const uint32_t layers = records.head.Layer;
    if (ok) {
        info->PicInfos = static_cast<ZyPicInfo**>(calloc(layers, sizeof(ZyPicInfo*)));
        info->SliceInfos = static_cast<ZySliceInfo**>(calloc(layers, sizeof(ZySliceInfo*)));
        ok = info->PicInfos != nullptr && info->SliceInfos != nullptr;
    }
    for (uint32_t k = 0; ok && k < layers; ++k) {
        info->PicInfos[k] = AsFixed(&records.layers[k]);
        info->SliceInfos[k] = static_cast<ZySliceInfo*>(calloc(1, sizeof(ZySliceInfo)));
        ok = info->SliceInfos[k] != nullptr;
        if (ok) {
            info->SliceInfos[k]->Offsets = slide.tables[k].offsets;
            info->SliceInfos[k]->Sizes = slide.tables[k].sizes;
        }
    }
    if (ok) return info;
    ReleaseView(info);
    return nullptr;
}

// Releases every member of a handle the caller built, and the handle.
void ReleaseCallerHandle(ZyTarnInfo* info) {
    const int layers = info->PicHead != nullptr ? static_cast<int>(info->PicHead->Layer) : 0;
    ReleaseLayerRecords(info->PicInfos, info->SliceInfos, layers);
    free(info->ExtraInfo);
    ReleaseThumbImage(info->ThumbImage);
    ReleaseMacroImages(info->MacroImages);
    free(info->PersonInfo);
    free(info->PicHead);
    free(info->Path);
    free(info);
}

// The fixed interface decodes the associated images at open, with what its codecs print.
bool LoadImages(Slide& slide, OpenFailure* failure) {
    const Status status = LoadAssociatedImages(slide, &failure->why);
    if (status != Status::Ok) {
        failure->error = status == Status::NoMemory ? OpenError::NoMemory : OpenError::Damaged;
        return false;
    }
    for (const AssociatedImage& image : slide.associated)
        if (image.why.loud) PrintLoud(image.why);
    return true;
}

}  // namespace

void ReleaseLayerRecords(ZyPicInfo** picInfos, ZySliceInfo** sliceInfos, int count) {
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

Slide* SlideOf(const ZyTarnInfo* info) {
    if (info == nullptr) return nullptr;
    Registry& registry = Handles();
    const std::shared_lock<std::shared_mutex> lock(registry.mutex);
    const auto it = registry.slides.find(info);
    return it != registry.slides.end() ? it->second : nullptr;
}

int CheckTileAddress(const FixedRead& read, int layer, int x, int y) {
    if (read.status() != ZY_OK) return ZY_E_NULL;
    if (static_cast<uint32_t>(layer) >= read.layout().layerCount) return ZY_E_LAYER;
    const LayerGeometry& grid = read.layout().layers[layer].grid;
    if (x < 0 || y < 0 || static_cast<uint64_t>(x) >= grid.columns ||
        static_cast<uint64_t>(y) >= grid.rows)
        return ZY_E_TILE;
    return ZY_OK;
}

void PrintLoud(const Error& message) {
    fprintf(stderr, "%s\n", message.text);
}

FixedRead::FixedRead(const ZyTarnInfo* info) {
    read_.failure = &failure_;
    read_.echo = PrintLoud;
    slide_ = SlideOf(info);
    if (slide_ != nullptr) {
        cache_ = AcquireSlideCache(*slide_);
        read_ = ReadContextOf(*slide_, cache_, &failure_);
        read_.echo = PrintLoud;
        status_ = ZY_OK;
        return;
    }
    if (!Complete(info)) return;
    const ZyPicHead& head = *info->PicHead;
    try {
        layers_.resize(head.Layer);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (uint32_t k = 0; k < head.Layer; ++k) {
        const ZyPicInfo* record = info->PicInfos[k];
        const ZySliceInfo* table = info->SliceInfos[k];
        if (record == nullptr || table == nullptr) return;
        layers_[k].grid = GeometryOf(AsCore(head), AsCore(*record));
        layers_[k].tileCount = record->TileCount;
        layers_[k].offsets = table->Offsets;
        layers_[k].sizes = table->Sizes;
    }
    layout_.codec = CodecOf(head.CompressionType);
    layout_.tileWidth = head.TileWidth;
    layout_.tileHeight = head.TileHeight;
    layout_.layers = layers_.data();
    layout_.layerCount = head.Layer;
    path_ = PathSource(info->Path);
    global_.emplace();
    read_.layout = &layout_;
    read_.source = &path_;
    read_.colors = global_->lookup();
    status_ = ZY_OK;
}

FixedRead::~FixedRead() {
    ReleasePixelCache(cache_);
}

ZyTarnInfo* OpenFixedSlide(const char* path) {
    OpenFailure failure;
    Slide* slide = OpenSlide(path, &failure);
    if (slide != nullptr && !LoadImages(*slide, &failure)) {
        CloseSlide(slide);
        slide = nullptr;
    }
    ZyTarnInfo* info = slide != nullptr ? ViewSlide(path, *slide) : nullptr;
    if (info != nullptr && !Register(info, slide)) {
        ReleaseView(info);
        info = nullptr;
    }
    if (slide != nullptr && info == nullptr) {
        CloseSlide(slide);
        slide = nullptr;
        failure.error = OpenError::NoMemory;
    }
    // The handle-less functions decode with the table of the last slide opened; a slide that
    // was read and failed leaves none, a file that never opened changes nothing.
    const bool fileWasRead =
        failure.error == OpenError::None || failure.error == OpenError::Damaged ||
        failure.error == OpenError::NoMemory || failure.error == OpenError::SourceFailed;
    if (fileWasRead) PublishColorTable(slide != nullptr ? slide->lut : nullptr);
    // Callers tell a damaged file from a machine without memory by errno.
    if (info == nullptr) errno = ErrnoOf(failure);
    return info;
}

void CloseFixedSlide(ZyTarnInfo* info) {
    if (info == nullptr) return;
    if (Slide* slide = Unregister(info)) {
        ReleaseView(info);
        CloseSlide(slide);
    } else {
        ReleaseCallerHandle(info);
    }
    PublishColorTable(nullptr);
}

}  // namespace tarn

using namespace tarn;

ZyTarnInfo* ZyOpenTarn(const char* path) {
    return OpenFixedSlide(path);
}

void ZyCloseTarn(ZyTarnInfo* info) {
    CloseFixedSlide(info);
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
    ReleaseLayerRecords(picInfos, sliceInfos, count);
}
