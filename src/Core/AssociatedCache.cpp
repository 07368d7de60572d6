#include "Core/AssociatedCache.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

namespace tarn {
namespace {

// A few slides' worth: a label and macrograph of a few hundred pixels each side and a thumbnail
// take one or two MB.
constexpr uint64_t kKeptBytes = uint64_t{32} << 20;

struct KeptImages {
    AssociatedImage images[kAssociatedKinds];
    uint64_t bytes = 0;

    KeptImages() = default;
    KeptImages(const KeptImages&) = delete;
    KeptImages& operator=(const KeptImages&) = delete;
    ~KeptImages() {
        for (AssociatedImage& image : images)
            ReleaseAssociatedImage(&image);
    }
};

using KeptPointer = std::shared_ptr<const KeptImages>;
using UseList = std::list<std::pair<std::string, KeptPointer>>;

struct Kept {
    std::mutex mutex;
    UseList used;  // most recently used first
    std::unordered_map<std::string, UseList::iterator> byKey;
    uint64_t bytes = 0;
};

Kept& Memory();

void LockKept() {
    Memory().mutex.lock();
}
void UnlockKept() {
    Memory().mutex.unlock();
}

// Never destroyed: slides may open while the process exits. fork() finds the lock released.
Kept& Memory() {
    static Kept* kept = new Kept;
    static const bool forkSafe = pthread_atfork(LockKept, UnlockKept, UnlockKept) == 0;
    (void)forkSafe;
    return *kept;
}

// The stored bytes' count as the image holds it: -1 stands for a count above 32 bits, whose
// bytes are never kept (such an image is far beyond the bound anyway).
uint64_t StoredBytes(const AssociatedImage& image) {
    return image.data != nullptr && image.dataSize > 0 ? static_cast<uint64_t>(image.dataSize) : 0;
}

uint64_t PixelBytes(const AssociatedImage& image) {
    return image.pixels != nullptr ? uint64_t{image.width} * image.height * 3 : 0;
}

unsigned char* CopyOf(const unsigned char* bytes, uint64_t size) {
    if (bytes == nullptr) return nullptr;
    auto* copy = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
    if (copy != nullptr) memcpy(copy, bytes, size);
    return copy;
}

// `*to` (empty) becomes a copy of `from`; false when memory ran out (`*to` is then empty).
bool CopyImage(const AssociatedImage& from, AssociatedImage* to) {
    *to = from;
    to->data = CopyOf(from.data, StoredBytes(from));
    to->pixels = CopyOf(from.pixels, PixelBytes(from));
    if ((from.data != nullptr && to->data == nullptr) ||
        (from.pixels != nullptr && to->pixels == nullptr)) {
        ReleaseAssociatedImage(to);
        return false;
    }
    return true;
}

std::string KeyOf(const ByteSource& source, uint64_t colorTag) {
    std::string key(static_cast<const char*>(source.identity), source.identitySize);
    key.append(reinterpret_cast<const char*>(&colorTag), sizeof colorTag);
    return key;
}

bool Keyed(const ByteSource& source) {
    return source.identity != nullptr && source.identitySize > 0;
}

// Whether the images are what any later decode of the same bytes gives: a decoder that ran out
// of memory may succeed next time.
bool Settled(const AssociatedImage images[kAssociatedKinds]) {
    for (int i = 0; i < kAssociatedKinds; ++i) {
        const AssociatedImage& image = images[i];
        if (image.why.status == Status::NoMemory) return false;
        // A stored byte count above 32 bits is never copied whole.
        if (image.data != nullptr && image.dataSize < 0) return false;
    }
    return true;
}

void Remember(std::string key, KeptPointer images) {
    Kept& kept = Memory();
    const std::lock_guard<std::mutex> hold(kept.mutex);
    if (const auto found = kept.byKey.find(key); found != kept.byKey.end()) {
        kept.bytes -= found->second->second->bytes;
        kept.used.erase(found->second);
        kept.byKey.erase(found);
    }
    kept.used.emplace_front(std::move(key), std::move(images));
    kept.byKey.emplace(kept.used.front().first, kept.used.begin());
    kept.bytes += kept.used.front().second->bytes;
    while (kept.bytes > kKeptBytes) {
        kept.bytes -= kept.used.back().second->bytes;
        kept.byKey.erase(kept.used.back().first);
        kept.used.pop_back();
    }
}

KeptPointer Recall(const std::string& key) {
    Kept& kept = Memory();
    const std::lock_guard<std::mutex> hold(kept.mutex);
    const auto found = kept.byKey.find(key);
    if (found == kept.byKey.end()) return nullptr;
    kept.used.splice(kept.used.begin(), kept.used, found->second);
    return found->second->second;
}

}  // namespace

bool CopyKeptAssociated(const ByteSource& source, uint64_t colorTag,
                        AssociatedImage images[kAssociatedKinds]) {
    if (!Keyed(source)) return false;
    KeptPointer kept;
    try {
        kept = Recall(KeyOf(source, colorTag));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (kept == nullptr) return false;
    for (int i = 0; i < kAssociatedKinds; ++i) {
        if (CopyImage(kept->images[i], &images[i])) continue;
        for (int k = 0; k < i; ++k)
            ReleaseAssociatedImage(&images[k]);
        return false;
    }
    return true;
}

void KeepAssociated(const ByteSource& source, uint64_t colorTag,
                    const AssociatedImage images[kAssociatedKinds]) {
    if (!Keyed(source) || !Settled(images)) return;
    uint64_t bytes = 0;
    for (int i = 0; i < kAssociatedKinds; ++i)
        bytes += StoredBytes(images[i]) + PixelBytes(images[i]);
    if (bytes > kKeptBytes / 4) return;  // one slide never takes the place of several
    try {
        auto copy = std::make_shared<KeptImages>();
        copy->bytes = bytes + sizeof(KeptImages);
        for (int i = 0; i < kAssociatedKinds; ++i)
            if (!CopyImage(images[i], &copy->images[i])) return;
        Remember(KeyOf(source, colorTag), std::move(copy));
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace tarn
