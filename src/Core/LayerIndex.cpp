#include "Core/LayerIndex.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "CacheFolder/CacheFolder.h"
#include "Core/RecordLayout.h"
#include "Core/Slide.h"

namespace tarn {
namespace {

// ---- In memory: the most recently used indexes, up to a bound on their bytes.

constexpr uint64_t kMemoryBytes = uint64_t{32} << 20;

using IndexPointer = std::shared_ptr<const LayerIndex>;

struct Remembered {
    std::mutex mutex;
    std::list<std::pair<std::string, IndexPointer>> used;  // most recently used first
    std::unordered_map<std::string, std::list<std::pair<std::string, IndexPointer>>::iterator>
        byIdentity;
    uint64_t bytes = 0;
};

Remembered& Memory();

void LockMemory() {
    Memory().mutex.lock();
}
void UnlockMemory() {
    Memory().mutex.unlock();
}

// Never destroyed: slides may open while the process exits. fork() finds the lock released.
Remembered& Memory() {
    static Remembered* memory = new Remembered;
    static const bool forkSafe = pthread_atfork(LockMemory, UnlockMemory, UnlockMemory) == 0;
    (void)forkSafe;
    return *memory;
}

uint64_t BytesOf(const LayerIndex& index) {
    uint64_t bytes = 0;
    for (const IndexExtent& extent : index.extents)
        bytes += extent.bytes.size() + sizeof extent;
    return bytes;
}

std::string IdentityOf(const ByteSource& source) {
    return {static_cast<const char*>(source.identity), source.identitySize};
}

bool Keeps(const ByteSource& source) {
    return source.keepIndex && source.identity != nullptr && source.identitySize > 0;
}

void Forget(Remembered& memory, const std::string& identity) {
    const auto found = memory.byIdentity.find(identity);
    if (found == memory.byIdentity.end()) return;
    memory.bytes -= BytesOf(*found->second->second);
    memory.used.erase(found->second);
    memory.byIdentity.erase(found);
}

void Remember(const std::string& identity, const IndexPointer& index) {
    Remembered& memory = Memory();
    const std::lock_guard<std::mutex> hold(memory.mutex);
    Forget(memory, identity);
    const uint64_t bytes = BytesOf(*index);
    if (bytes > kMemoryBytes) return;
    memory.used.emplace_front(identity, index);
    memory.byIdentity.emplace(identity, memory.used.begin());
    memory.bytes += bytes;
    while (memory.bytes > kMemoryBytes) {
        memory.bytes -= BytesOf(*memory.used.back().second);
        memory.byIdentity.erase(memory.used.back().first);
        memory.used.pop_back();
    }
}

IndexPointer Recall(const std::string& identity) {
    Remembered& memory = Memory();
    const std::lock_guard<std::mutex> hold(memory.mutex);
    const auto found = memory.byIdentity.find(identity);
    if (found == memory.byIdentity.end()) return nullptr;
    memory.used.splice(memory.used.begin(), memory.used, found->second);
    return found->second->second;
}

// ---- In the folder: one file per identity.
//
//   "TarnIdx\n", u32 format version, u32 extent count, u64 slide size, the identity's SHA-256,
//   then per extent u64 offset, u64 length and its bytes, then the SHA-256 of all before it.
// Integers little-endian, as the machine holds them.

constexpr char kMagic[8] = {'T', 'a', 'r', 'n', 'I', 'd', 'x', '\n'};
constexpr uint32_t kIndexFormatVersion = 1;
constexpr CacheFileKind kIndexFiles = {"layer-index-v1-", ".idx", ".tmp-layer-index-"};
constexpr size_t kDigestBytes = 32;
constexpr size_t kHeadBytes = sizeof kMagic + 4 + 4 + 8 + kDigestBytes;
// A file larger than this is no index of ours (a slide of 60 million tiles).
constexpr uint64_t kMostFileBytes = uint64_t{256} << 20;
// What index files may take together in the folder, at most.
constexpr uint64_t kFolderBytes = uint64_t{128} << 20;

using Digest = unsigned char[kDigestBytes];

bool Sha256(const void* bytes, size_t size, Digest out) {
    unsigned int length = 0;
    return EVP_Digest(bytes, size, out, &length, EVP_sha256(), nullptr) == 1 &&
           length == kDigestBytes;
}

bool IndexPath(const CacheFolder& folder, const Digest identity, char (&path)[PATH_MAX]) {
    char hex[2 * kDigestBytes + 1];
    for (size_t i = 0; i < kDigestBytes; ++i)
        snprintf(hex + 2 * i, 3, "%02x", identity[i]);
    const int length = snprintf(path, sizeof path, "%s/%s%s%s", folder.path, kIndexFiles.prefix,
                                hex, kIndexFiles.suffix);
    return length > 0 && static_cast<size_t>(length) < sizeof path;
}

void Put(std::vector<uint8_t>& out, const void* bytes, size_t size) {
    const auto* from = static_cast<const uint8_t*>(bytes);
    out.insert(out.end(), from, from + size);
}

template <class T>
bool Take(const std::vector<uint8_t>& in, size_t* at, T* value) {
    if (in.size() - *at < sizeof(T)) return false;
    memcpy(value, in.data() + *at, sizeof(T));
    *at += sizeof(T);
    return true;
}

bool ReadWhole(int fd, std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got =
            pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// The index in `bytes` (a file's content), when it is whole and names `identity` and `size`.
IndexPointer Parse(const std::vector<uint8_t>& bytes, const Digest identity, uint64_t size) {
    if (bytes.size() < kHeadBytes + kDigestBytes) return nullptr;
    Digest digest;
    if (!Sha256(bytes.data(), bytes.size() - kDigestBytes, digest) ||
        memcmp(digest, bytes.data() + bytes.size() - kDigestBytes, kDigestBytes) != 0)
        return nullptr;
    size_t at = 0;
    char magic[sizeof kMagic];
    uint32_t version = 0, count = 0;
    uint64_t slideSize = 0;
    Digest named;
    if (!Take(bytes, &at, &magic) || memcmp(magic, kMagic, sizeof kMagic) != 0 ||
        !Take(bytes, &at, &version) || version != kIndexFormatVersion ||
        !Take(bytes, &at, &count) || !Take(bytes, &at, &slideSize) || slideSize != size ||
        !Take(bytes, &at, &named) || memcmp(named, identity, kDigestBytes) != 0)
        return nullptr;
    const size_t end = bytes.size() - kDigestBytes;
    auto index = std::make_shared<LayerIndex>();
    index->slideSize = slideSize;
    uint64_t previousEnd = 0;
    for (uint32_t i = 0; i < count; ++i) {
        IndexExtent extent;
        uint64_t length = 0;
        if (!Take(bytes, &at, &extent.offset) || !Take(bytes, &at, &length) || length > end - at ||
            extent.offset < previousEnd || extent.offset > size || length > size - extent.offset)
            return nullptr;
        extent.bytes.assign(bytes.begin() + static_cast<ptrdiff_t>(at),
                            bytes.begin() + static_cast<ptrdiff_t>(at + length));
        at += static_cast<size_t>(length);
        previousEnd = extent.offset + length;
        index->extents.push_back(std::move(extent));
    }
    if (at != end) return nullptr;
    return index;
}

IndexPointer ReadIndexFile(const std::string& identity, uint64_t size) {
    CacheFolder folder;
    Digest digest;
    char path[PATH_MAX];
    if (!FindCacheFolder(&folder) || !Sha256(identity.data(), identity.size(), digest) ||
        !IndexPath(folder, digest, path))
        return nullptr;
    struct stat st;
    const int fd = OpenOwnFile(path, &st);
    if (fd < 0) return nullptr;
    IndexPointer index;
    if (static_cast<uint64_t>(st.st_size) <= kMostFileBytes) {
        std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
        if (ReadWhole(fd, bytes)) index = Parse(bytes, digest, size);
    }
    close(fd);
    // Marked as just used, for the trimming of the folder.
    if (index != nullptr) utimensat(AT_FDCWD, path, nullptr, AT_SYMLINK_NOFOLLOW);
    return index;
}

// Writes the index, replacing whatever file the identity's name held (one the open could not
// use). No fsync: a file cut short by a crash fails its digest and is written again.
void WriteIndexFile(const std::string& identity, const LayerIndex& index) {
    CacheFolder folder;
    Digest digest;
    char path[PATH_MAX];
    if (!FindCacheFolder(&folder) || !Sha256(identity.data(), identity.size(), digest) ||
        !IndexPath(folder, digest, path))
        return;
    std::vector<uint8_t> bytes;
    Put(bytes, kMagic, sizeof kMagic);
    const uint32_t head[2] = {kIndexFormatVersion, static_cast<uint32_t>(index.extents.size())};
    Put(bytes, head, sizeof head);
    Put(bytes, &index.slideSize, sizeof index.slideSize);
    Put(bytes, digest, sizeof digest);
    for (const IndexExtent& extent : index.extents) {
        const uint64_t place[2] = {extent.offset, extent.bytes.size()};
        Put(bytes, place, sizeof place);
        Put(bytes, extent.bytes.data(), extent.bytes.size());
    }
    Digest whole;
    if (bytes.size() + kDigestBytes > kMostFileBytes || !Sha256(bytes.data(), bytes.size(), whole))
        return;
    Put(bytes, whole, sizeof whole);
    const uint64_t limit = std::min(folder.limit, kFolderBytes);
    if (!TrimFiles(folder, kIndexFiles, strrchr(path, '/') + 1, bytes.size(), limit)) return;
    iovec file[1] = {{bytes.data(), bytes.size()}};
    WriteFileAtomically(folder, kIndexFiles, path, file, 1, false);
}

void RemoveIndexFile(const std::string& identity) {
    CacheFolder folder;
    Digest digest;
    char path[PATH_MAX];
    if (FindCacheFolder(&folder) && Sha256(identity.data(), identity.size(), digest) &&
        IndexPath(folder, digest, path))
        unlink(path);
}

// The index of a slide's layer records and tables, as the slide stores them.
IndexPointer IndexOf(const Slide& slide) {
    const SlideRecords& records = slide.records;
    auto index = std::make_shared<LayerIndex>();
    index->slideSize = slide.source.size;
    for (size_t k = 0; k < records.layers.size(); ++k) {
        IndexExtent extent;
        extent.offset = records.layerOffsets[k];
        const PictureRecord& record = records.layers[k];
        Put(extent.bytes, &record, kPicRecordSize);
        if (record.TileCount > 0)
            Put(extent.bytes, slide.tables[k].sizes, sizeof(uint32_t) * record.TileCount);
        index->extents.push_back(std::move(extent));
    }
    std::sort(index->extents.begin(), index->extents.end(),
              [](const IndexExtent& a, const IndexExtent& b) { return a.offset < b.offset; });
    return index;
}

}  // namespace

std::shared_ptr<const LayerIndex> FindLayerIndex(const ByteSource& source) {
    if (!Keeps(source)) return nullptr;
    try {
        const std::string identity = IdentityOf(source);
        IndexPointer index = Recall(identity);
        if (index == nullptr) {
            index = ReadIndexFile(identity, source.size);
            if (index != nullptr) Remember(identity, index);
        }
        return index != nullptr && index->slideSize == source.size ? index : nullptr;
    } catch (...) {
        return nullptr;  // without memory, the open reads from the source
    }
}

void KeepLayerIndex(const Slide& slide) {
    if (!Keeps(slide.source)) return;
    try {
        const std::string identity = IdentityOf(slide.source);
        if (Recall(identity) != nullptr) return;
        const IndexPointer index = IndexOf(slide);
        Remember(identity, index);
        WriteIndexFile(identity, *index);
    } catch (...) {
        // Without memory the next open reads from the source again.
    }
}

void ForgetLayerIndex(const ByteSource& source) {
    if (!Keeps(source)) return;
    try {
        const std::string identity = IdentityOf(source);
        {
            Remembered& memory = Memory();
            const std::lock_guard<std::mutex> hold(memory.mutex);
            Forget(memory, identity);
        }
        RemoveIndexFile(identity);
    } catch (...) {
    }
}

const IndexExtent* IndexExtentHolding(const LayerIndex& index, uint64_t offset, uint64_t size) {
    auto after =
        std::upper_bound(index.extents.begin(), index.extents.end(), offset,
                         [](uint64_t at, const IndexExtent& extent) { return at < extent.offset; });
    if (after == index.extents.begin()) return nullptr;
    const IndexExtent& extent = *std::prev(after);
    const uint64_t into = offset - extent.offset;
    return into <= extent.bytes.size() && size <= extent.bytes.size() - into ? &extent : nullptr;
}

void ForgetLayerIndexesInMemory() {
    Remembered& memory = Memory();
    const std::lock_guard<std::mutex> hold(memory.mutex);
    memory.used.clear();
    memory.byIdentity.clear();
    memory.bytes = 0;
}

}  // namespace tarn
