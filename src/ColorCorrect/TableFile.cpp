// One colour table in one file: the header that identifies it, the checks a file passes before
// this process maps it, and the atomic write.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "ColorCorrect/TableFiles.h"
#include "ColorCorrect/ColorChain.h"

namespace tarn {
namespace {

constexpr char kMagic[8] = {'T', 'a', 'r', 'n', 'L', 'u', 't', '\n'};
constexpr size_t kHugePage = size_t{2} << 20;

struct FileHeader {
    char magic[8];
    uint32_t version;
    uint32_t headerBytes;
    uint64_t packedOffset;
    uint64_t packedBytes;
    uint64_t rowsOffset;
    uint64_t rowsBytes;
    uint64_t fileBytes;
    ColorParams params;
};
static_assert(sizeof(FileHeader) == 120 && sizeof(FileHeader) <= kTableHeaderBytes);

// The header a file for `params` carries; padding and the rest of the page are zero.
void ExpectedHeader(const ColorParams& params, uint8_t (&page)[kTableHeaderBytes]) {
    memset(page, 0, sizeof page);
    FileHeader header;
    memset(&header, 0, sizeof header);
    memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kTableFormatVersion;
    header.headerBytes = kTableHeaderBytes;
    header.packedOffset = kTableHeaderBytes;
    header.packedBytes = kPackedBytes;
    header.rowsOffset = kTableHeaderBytes + kPackedBytes;
    header.rowsBytes = kRowBytes;
    header.fileBytes = kTableFileBytes;
    header.params = params;
    memcpy(page, &header, sizeof header);
}

bool HeaderMatches(const void* header, const ColorParams& params) {
    uint8_t expected[kTableHeaderBytes];
    ExpectedHeader(params, expected);
    return memcmp(header, expected, sizeof(FileHeader)) == 0;
}

// A file only this user can have written, of the size a table file has.
bool Trusted(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           static_cast<uint64_t>(st.st_size) == kTableFileBytes;
}

// O_NOFOLLOW: a symbolic link under a table's name is not followed; O_NONBLOCK: nor does a FIFO
// planted there block the open. `st` receives what the file was when it was checked.
int OpenTrusted(const char* path, struct stat* st) {
    const int fd = OpenOwnFile(path, st);
    if (fd < 0) return -1;
    if (static_cast<uint64_t>(st->st_size) != kTableFileBytes) {
        close(fd);
        return -1;
    }
    return fd;
}

// The whole file, shared and read-only, at an address aligned to a huge page, and marked for huge
// pages: where the page cache holds the file in 2 MiB folios the kernel maps them whole, so a
// lookup costs no more TLB misses than in a built table, and what a fault must read from disk
// (the file was evicted) comes back in such folios.
void* MapWholeFile(int fd) {
    const size_t span = kTableFileBytes + kHugePage;
    void* reserved = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED) return nullptr;
    const size_t misalignment = reinterpret_cast<uintptr_t>(reserved) % kHugePage;
    const size_t head = misalignment == 0 ? 0 : kHugePage - misalignment;
    auto* const base = static_cast<uint8_t*>(reserved) + head;
    void* mapped = mmap(base, kTableFileBytes, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0);
    if (mapped == MAP_FAILED) {
        munmap(reserved, span);
        return nullptr;
    }
    if (head > 0) munmap(reserved, head);
    munmap(base + kTableFileBytes, span - head - kTableFileBytes);
    madvise(base, kTableFileBytes, MADV_HUGEPAGE);
    return base;
}

// The write often leaves the file in the page cache wholly or partly in small folios (how much
// depends on the memory free at the time), and every process would then look entries up there
// through 4 KiB pages, with a TLB miss on most lookups. So the file's cached pages are dropped
// (they are on disk) and the header and the packed entries read back through a huge-page mapping,
// one touch per 2 MiB, which puts them into the cache in 2 MiB folios that every later mapping maps
// whole. The rows behind the exported planes come back the same way when a mapping first reads
// them.
void SettleInHugePages(const char* path) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    void* base = MapWholeFile(fd);
    close(fd);
    if (base == nullptr) return;
    const volatile uint8_t* bytes = static_cast<const uint8_t*>(base);
    for (size_t offset = 0; offset < kTableHeaderBytes + kPackedBytes; offset += kHugePage)
        (void)bytes[offset];
    munmap(base, kTableFileBytes);
}

// Writes every byte of `parts` at offset 0 in as few calls as the kernel allows: one call lets
// it put the file into the page cache in huge pages.

// A trusted file for `params` is already at `path` (another process wrote it).
bool AlreadyThere(const char* path, const ColorParams& params) {
    struct stat st;
    const int fd = OpenTrusted(path, &st);
    if (fd < 0) return false;
    uint8_t header[sizeof(FileHeader)];
    const bool there = pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                       HeaderMatches(header, params);
    close(fd);
    return there;
}

}  // namespace

uint64_t MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<uint64_t>(now.tv_sec);
}

ColorLut* MapTableFile(const CacheFolder& folder, const ColorParams& params) {
    char path[PATH_MAX];
    if (!TableFilePath(folder, params, path)) return nullptr;
    struct stat st;
    const int fd = OpenTrusted(path, &st);
    if (fd < 0) return nullptr;
    void* base = MapWholeFile(fd);
    if (base == nullptr || !HeaderMatches(base, params)) {
        if (base != nullptr) munmap(base, kTableFileBytes);
        close(fd);
        return nullptr;
    }
    futimens(fd, nullptr);  // just used: the folder evicts the least recently used first
    close(fd);

    auto* lut = new (std::nothrow) ColorLut;
    char* const filePath = strdup(path);
    if (lut == nullptr || filePath == nullptr) {
        delete lut;
        free(filePath);
        munmap(base, kTableFileBytes);
        return nullptr;
    }
    lut->filePath = filePath;
    lut->fileDevice = st.st_dev;
    lut->fileInode = st.st_ino;
    lut->markedAt = MonotonicSeconds();
    lut->params = params;
    lut->mapping = base;
    lut->mappingSize = kTableFileBytes;
    lut->packed = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(base) + kTableHeaderBytes);
    lut->rows = reinterpret_cast<uint8_t*>(lut->packed) + kPackedBytes;
    lut->fromFile = true;
    lut->inFolder = true;
    FillRangeTable(lut->table.range);
    return lut;
}

bool TableFileUnchanged(const ColorLut& lut) {
    struct stat st;
    return lut.filePath != nullptr && lstat(lut.filePath, &st) == 0 && Trusted(st) &&
           st.st_dev == lut.fileDevice && st.st_ino == lut.fileInode;
}

void MarkTableFileUsed(ColorLut* lut, uint64_t nowSeconds) {
    if (lut->filePath == nullptr || nowSeconds < lut->markedAt + kMarkIntervalSeconds) return;
    lut->markedAt = nowSeconds;
    utimensat(AT_FDCWD, lut->filePath, nullptr, AT_SYMLINK_NOFOLLOW);
}

bool WriteTableFile(const CacheFolder& folder, const ColorLut& lut) {
    char path[PATH_MAX];
    if (!TableFilePath(folder, lut.params, path)) return false;
    if (AlreadyThere(path, lut.params)) return true;
    uint8_t header[kTableHeaderBytes];
    ExpectedHeader(lut.params, header);
    iovec parts[2] = {{header, sizeof header}, {lut.packed, kLutBodyBytes}};
    struct Room {
        const CacheFolder& folder;
        const char* replacing;
    } room{folder, strrchr(path, '/') + 1};
    const auto makeRoom = [](void* context) {
        const Room& r = *static_cast<const Room*>(context);
        return MakeRoomFor(r.folder, r.replacing);
    };
    const bool ok =
        WriteFileAtomically(folder, TableFileKind(), path, parts, 2, true, makeRoom, &room);
    if (ok) SettleInHugePages(path);
    return ok;
}

}  // namespace tarn
