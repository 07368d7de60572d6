// The library's folder on disk, shared by every process of a user: colour-table files and the
// layer indexes of remote slides. Where it is (TARN_CACHE_DIR, else $XDG_CACHE_HOME/tarn, else
// $HOME/.cache/tarn; an empty TARN_CACHE_DIR turns it off; a set-user-ID program has none), its
// permissions (folders made 0700, files 0600, and only this user's files that nobody else can
// write are trusted), its limits (TARN_CACHE_DIR_LIMIT, 1 GiB by default) and eviction (least
// recently used first), and atomic writes (a temporary file renamed into place, so that a name
// never shows a partial file). What the files hold is their modules' business.
#pragma once

#include <sys/uio.h>

#include <climits>
#include <cstddef>
#include <cstdint>

struct stat;

namespace tarn {

inline constexpr uint64_t kDefaultFolderLimit = uint64_t{1} << 30;

struct CacheFolder {
    char path[PATH_MAX];
    uint64_t limit;  // bytes the folder's files of one kind may take together
};

// The folder named by the environment, created 0700 where missing. False when the folder is
// turned off, unnamed, or cannot be made.
bool FindCacheFolder(CacheFolder* folder);

// A kind of file kept in the folder: "<prefix>...<suffix>", written first as
// "<temporaryPrefix>XXXXXX".
struct CacheFileKind {
    const char* prefix;
    const char* suffix;
    const char* temporaryPrefix;
};

// A new temporary file of `kind` in the folder; -1 when none can be made. `path` receives its
// name.
int CreateTemporaryFile(const CacheFolder& folder, const CacheFileKind& kind,
                        char (&path)[PATH_MAX]);

// Removes stale temporary files of `kind` and, least recently used first, this user's files of
// `kind` until they and the writes under way (`bytesPerWrite` each) fit in `limit` bytes. The
// file named `replacing` does not count. False when they cannot fit.
bool TrimFiles(const CacheFolder& folder, const CacheFileKind& kind, const char* replacing,
               uint64_t bytesPerWrite, uint64_t limit);

// The file at `path` opened for reading when it is a regular file of this user that group and
// others cannot write (symbolic links are not followed, FIFOs do not block), with what it was
// then in `*st`; -1 otherwise.
int OpenOwnFile(const char* path, struct stat* st);

// Writes every byte of `parts` (`count` of them, which it consumes) at the start of `fd`.
bool WriteAll(int fd, iovec* parts, int count);

// Makes `path` hold the bytes of `parts`, atomically: they go into a new temporary file of
// `kind` (0600 whatever the umask: readers refuse a file that others could write), flushed to
// disk first when `flush`, then renamed to `path`. `makeRoom(context)`, when given, runs once the
// temporary file exists (so that two writers making room at once count each other) and before
// anything is written; false from it gives up. A file half written is removed. True when `path`
// holds the bytes.
bool WriteFileAtomically(const CacheFolder& folder, const CacheFileKind& kind, const char* path,
                         iovec* parts, int count, bool flush,
                         bool (*makeRoom)(void* context) = nullptr, void* context = nullptr);

}  // namespace tarn
