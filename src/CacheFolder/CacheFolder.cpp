#include "CacheFolder/CacheFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

namespace tarn {
namespace {

// A temporary file this old was left by a writer that died; a live write takes seconds.
constexpr time_t kStaleSeconds = 3600;

bool StartsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool EndsWith(const char* text, const char* suffix) {
    const size_t length = strlen(text), suffixLength = strlen(suffix);
    return length >= suffixLength && strcmp(text + length - suffixLength, suffix) == 0;
}

// Creates `path` and its missing parents, each new one 0700 (the XDG rule for cache folders).
bool MakeFolders(const char* path) {
    struct stat st;
    if (stat(path, &st) == 0) return S_ISDIR(st.st_mode);
    char partial[PATH_MAX];
    const size_t length = strlen(path);
    if (length >= sizeof partial) return false;
    memcpy(partial, path, length + 1);
    for (size_t i = 1; i <= length; ++i) {
        if (partial[i] != '/' && partial[i] != '\0') continue;
        const char kept = partial[i];
        partial[i] = '\0';
        if (mkdir(partial, 0700) != 0 && errno != EEXIST) return false;
        partial[i] = kept;
    }
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// TARN_CACHE_DIR_LIMIT: bytes, with an optional K, M, G or T suffix (powers of 1024).
uint64_t LimitFromEnvironment() {
    const char* text = secure_getenv("TARN_CACHE_DIR_LIMIT");
    if (text == nullptr || *text < '0' || *text > '9') return kDefaultFolderLimit;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0) return kDefaultFolderLimit;
    int shift = 0;
    switch (*end) {
        case '\0':
            break;
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
        case 't':
        case 'T':
            shift = 40;
            break;
        default:
            return kDefaultFolderLimit;
    }
    if (shift != 0 && end[1] != '\0') return kDefaultFolderLimit;
    if (value > (UINT64_MAX >> shift)) return UINT64_MAX;
    return static_cast<uint64_t>(value) << shift;
}

struct CacheEntry {
    std::string name;
    timespec used;
    uint64_t bytes;
};

bool UsedEarlier(const CacheEntry& a, const CacheEntry& b) {
    if (a.used.tv_sec != b.used.tv_sec) return a.used.tv_sec < b.used.tv_sec;
    return a.used.tv_nsec < b.used.tv_nsec;
}

// This user's files of `kind` in `folder` (besides `replacing`), and how many writes of this
// user are under way there; stale temporary files are removed on the way. False when the folder
// cannot be listed or memory runs out.
bool ListFiles(int folder, const CacheFileKind& kind, const char* replacing,
               std::vector<CacheEntry>* files, int* writing) {
    const int listed = dup(folder);
    DIR* listing = listed >= 0 ? fdopendir(listed) : nullptr;
    if (listing == nullptr) {
        if (listed >= 0) close(listed);
        return false;
    }
    const time_t now = time(nullptr);
    bool complete = true;
    while (const dirent* entry = readdir(listing)) {
        const bool named =
            StartsWith(entry->d_name, kind.prefix) && EndsWith(entry->d_name, kind.suffix);
        const bool temporary = StartsWith(entry->d_name, kind.temporaryPrefix);
        if (!named && !temporary) continue;
        struct stat st;
        if (fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != geteuid())
            continue;
        if (temporary) {
            if (now - st.st_mtime <= kStaleSeconds)
                ++*writing;
            else
                unlinkat(folder, entry->d_name, 0);
        } else if (replacing == nullptr || strcmp(entry->d_name, replacing) != 0) {
            try {
                files->push_back({entry->d_name, st.st_mtim, static_cast<uint64_t>(st.st_size)});
            } catch (const std::bad_alloc&) {
                complete = false;
                break;
            }
        }
    }
    closedir(listing);
    return complete;
}

}  // namespace

bool FindCacheFolder(CacheFolder* folder) {
    // secure_getenv: a set-user-ID program does not take a folder from its caller's environment.
    const char* base = secure_getenv("TARN_CACHE_DIR");
    const char* tail = "";
    if (base == nullptr) {
        base = secure_getenv("XDG_CACHE_HOME");
        tail = "/tarn";
        if (base == nullptr || base[0] != '/') {  // relative values are invalid, as XDG says
            base = secure_getenv("HOME");
            tail = "/.cache/tarn";
            if (base == nullptr || base[0] != '/') return false;
        }
    }
    if (*base == '\0') return false;  // TARN_CACHE_DIR="" turns the folder off
    const int length = snprintf(folder->path, sizeof folder->path, "%s%s", base, tail);
    if (length < 0 || static_cast<size_t>(length) >= sizeof folder->path) return false;
    folder->limit = LimitFromEnvironment();
    return MakeFolders(folder->path);
}

int CreateTemporaryFile(const CacheFolder& folder, const CacheFileKind& kind,
                        char (&path)[PATH_MAX]) {
    const int length =
        snprintf(path, sizeof path, "%s/%sXXXXXX", folder.path, kind.temporaryPrefix);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) return -1;
    return mkostemp(path, O_CLOEXEC);
}

bool TrimFiles(const CacheFolder& folder, const CacheFileKind& kind, const char* replacing,
               uint64_t bytesPerWrite, uint64_t limit) {
    if (bytesPerWrite > limit) return false;
    const int fd = open(folder.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<CacheEntry> files;
    int writing = 0;
    const bool listed = ListFiles(fd, kind, replacing, &files, &writing);
    uint64_t total = static_cast<uint64_t>(writing) * bytesPerWrite;
    for (const CacheEntry& file : files)
        total += file.bytes;
    std::sort(files.begin(), files.end(), UsedEarlier);
    for (const CacheEntry& file : files) {
        if (total <= limit) break;
        // Gone already is as good: another process made room too.
        if (unlinkat(fd, file.name.c_str(), 0) == 0 || errno == ENOENT) total -= file.bytes;
    }
    close(fd);
    return listed && total <= limit;
}

int OpenOwnFile(const char* path, struct stat* st) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_uid != geteuid() ||
        (st->st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, iovec* parts, int count) {
    off_t offset = 0;
    while (count > 0) {
        const ssize_t written = pwritev(fd, parts, count, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        offset += written;
        // Past what was written: a short write resumes where it stopped.
        for (size_t left = static_cast<size_t>(written); left > 0 && count > 0;) {
            const size_t step = left < parts->iov_len ? left : parts->iov_len;
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + step;
            parts->iov_len -= step;
            left -= step;
            if (parts->iov_len == 0) ++parts, --count;
        }
    }
    return true;
}

bool WriteFileAtomically(const CacheFolder& folder, const CacheFileKind& kind, const char* path,
                         iovec* parts, int count, bool flush, bool (*makeRoom)(void* context),
                         void* context) {
    char temporary[PATH_MAX];
    const int fd = CreateTemporaryFile(folder, kind, temporary);
    if (fd < 0) return false;
    bool ok = (makeRoom == nullptr || makeRoom(context)) && fchmod(fd, 0600) == 0 &&
              WriteAll(fd, parts, count) && (!flush || fsync(fd) == 0);
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary, path) == 0;
    if (!ok) unlink(temporary);
    return ok;
}

}  // namespace tarn
