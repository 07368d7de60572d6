#include "Core/RemoteSource.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "Common/Status.h"
#include "Common/FileRecords.h"
#include "Core/RecordLayout.h"
#include "Core/Slide.h"
#include "Remote/RemoteObject.h"
#include "Remote/RemoteUrl.h"

namespace tarn {
namespace {

using remote::RemoteError;
using remote::RemoteObject;
using remote::RemoteStatus;

// Of the tile tables an object without validators must still hold, at most this much is fetched
// again after each later fetch (the records always are).
constexpr uint64_t kMostWatchedTableBytes = uint64_t{64} << 10;

// Reads ahead at open, and the leading bytes the open's one request brings: a round trip over a
// network costs about what a mebibyte takes to come, so asking for less saves little time and
// asking for more saves trips only on the deepest pyramids.
constexpr uint64_t kRemoteReadAhead = uint64_t{1} << 20;

// The remote module's messages begin with the URL, which the slide's name gives already.
const char* WithoutUrl(const char* url, const std::string& message) {
    const size_t length = strlen(url);
    if (length > 0 && message.compare(0, length, url) == 0 && message.compare(length, 2, ": ") == 0)
        return message.c_str() + length + 2;
    return message.c_str();
}

Status Failure(const RemoteObject* object, const RemoteError& error, Error* why) {
    Say(why, "%s", WithoutUrl(remote::RemoteObjectShownUrl(object), error.message));
    switch (error.status) {
        case RemoteStatus::kObjectChanged:
            return Status::FileChanged;
        case RemoteStatus::kNoMemory:
            return Status::NoMemory;
        default:
            return Status::ShortRead;
    }
}

Status ReadObject(void* context, uint64_t offset, void* out, size_t length, Error* why) {
    auto* object = static_cast<RemoteObject*>(context);
    RemoteError error;
    if (remote::ReadRemote(object, offset, out, length, &error, SourceCallStartMs()))
        return Status::Ok;
    return Failure(object, error, why);
}

Status CheckObject(void* context, Error* why) {
    auto* object = static_cast<RemoteObject*>(context);
    RemoteError error;
    if (remote::RemoteObjectUnchanged(object, remote::RemoteCheck::kKnown, &error))
        return Status::Ok;
    return Failure(object, error, why);
}

void PrefetchObject(void* context, const ByteRange* ranges, size_t count) {
    try {
        std::vector<remote::RemoteRange> wanted(count);
        for (size_t i = 0; i < count; ++i)
            wanted[i] = {ranges[i].offset, ranges[i].length, nullptr};
        // A hint: a failure shows again at the read that needs the bytes.
        RemoteError ignored;
        remote::ReadRemoteRanges(static_cast<RemoteObject*>(context), wanted.data(), count,
                                 &ignored, SourceCallStartMs());
    } catch (const std::bad_alloc&) {
    }
}

uint64_t HeldBytes(void* context, uint64_t offset, uint64_t limit) {
    return remote::RemoteCachedBytes(static_cast<RemoteObject*>(context), offset, limit);
}

void CloseObject(void* context) {
    remote::CloseRemoteObject(static_cast<RemoteObject*>(context));
}

}  // namespace

bool IsSlideUrl(const char* name) {
    return name != nullptr && remote::IsRemoteUrl(name);
}

std::string ShownSlideUrl(const char* url) {
    try {
        remote::RemoteTarget target;
        std::string problem;
        return url != nullptr && remote::ParseRemoteUrl(url, &target, &problem) ? target.shownUrl
                                                                                : "the URL";
    } catch (const std::bad_alloc&) {
        return "the URL";
    }
}

bool OpenRemoteSource(const char* url, ByteSource* source, OpenFailure* failure) {
    RemoteError error;
    remote::RemoteOpenOptions options;
    options.leadingBytes = kRemoteReadAhead;
    RemoteObject* object = nullptr;
    try {
        object = remote::OpenRemoteObject(url, options, &error);
    } catch (const std::bad_alloc&) {
        error.status = RemoteStatus::kNoMemory;
    }
    if (object == nullptr) {
        if (failure != nullptr) {
            failure->error = error.status == RemoteStatus::kNoMemory ? OpenError::NoMemory
                                                                     : OpenError::SourceFailed;
            Say(&failure->why, "%s", WithoutUrl(ShownSlideUrl(url).c_str(), error.message));
        }
        return false;
    }
    const char* key = remote::RemoteObjectKey(object);
    *source = ByteSource{};
    source->context = object;
    source->size = remote::RemoteObjectSize(object);
    source->readAhead = kRemoteReadAhead;
    source->read = ReadObject;
    source->check = CheckObject;
    source->prefetch = PrefetchObject;
    source->held = HeldBytes;
    // An index is kept under a version; without validators there is none to keep it under.
    source->keepIndex = remote::RemoteObjectVersioned(object);
    source->release = CloseObject;
    source->identity = key;
    source->identitySize = strlen(key);
    return true;
}

bool WatchRemoteRecords(const Slide& slide) {
    if (slide.source.release != CloseObject) return true;
    auto* object = static_cast<RemoteObject*>(slide.source.context);
    if (remote::RemoteObjectVersioned(object)) return true;
    try {
        const SlideRecords& records = slide.records;
        std::vector<remote::RemoteWitness> witness;
        witness.push_back(
            {0, std::string(reinterpret_cast<const char*>(&records.head), sizeof records.head)});
        uint64_t tableBudget = kMostWatchedTableBytes;
        for (size_t k = 0; k < records.layers.size(); ++k) {
            remote::RemoteWitness layer{records.layerOffsets[k], {}};
            layer.bytes.assign(reinterpret_cast<const char*>(&records.layers[k]), kPicRecordSize);
            const uint64_t table =
                std::min(uint64_t{records.layers[k].TileCount} * sizeof(uint32_t), tableBudget);
            layer.bytes.append(reinterpret_cast<const char*>(slide.tables[k].sizes),
                               static_cast<size_t>(table));
            tableBudget -= table;
            witness.push_back(std::move(layer));
        }
        remote::WatchRemoteBytes(object, std::move(witness));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

const char* RemoteSourceVersion(const ByteSource& source) {
    if (source.release != CloseObject) return nullptr;
    return remote::RemoteObjectVersion(static_cast<const RemoteObject*>(source.context));
}

}  // namespace tarn
