// Colour tables kept on disk, so that a table is built once per user rather than once per
// process: the folder (where it is, its size cap) and the table files in it (their format, the
// checks a file must pass before it is mapped, and the atomic write).
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

struct stat;

#include "ColorCorrect/ColorLut.h"

namespace tarn {

// A table file: one page of header (magic, format version, sizes, the parameters), then the body
// of the table exactly as it lies in memory.
inline constexpr uint32_t kTableFormatVersion = 1;
inline constexpr size_t kTableHeaderBytes = 4096;
inline constexpr uint64_t kTableFileBytes = kTableHeaderBytes + kLutBodyBytes;
inline constexpr uint64_t kDefaultFolderLimit = uint64_t{1} << 30;

struct TableFolder {
    char path[PATH_MAX];
    uint64_t limit;  // bytes the folder's table files may take together
};

// The folder named by the environment (see ColorTables.h), created 0700 where missing. False
// when the folder is turned off, unnamed, or cannot be made.
bool FindTableFolder(TableFolder* folder);

// The path of the file for `params`: its name holds the format version and every parameter's
// bits. False when it would not fit.
bool TableFilePath(const TableFolder& folder, const ColorParams& params, char (&path)[PATH_MAX]);

// A new temporary file in the folder, where a table is written before it is renamed into place;
// -1 when none can be made. `path` receives its name.
int CreateTemporaryTableFile(const TableFolder& folder, char (&path)[PATH_MAX]);

// ---- The folder's other files (the layer indexes of remote slides) follow the tables' rules.

// A kind of file kept in the folder: "<prefix>...<suffix>", written first as
// "<temporaryPrefix>XXXXXX".
struct CacheFileKind {
    const char* prefix;
    const char* suffix;
    const char* temporaryPrefix;
};

// A new temporary file of `kind` in the folder; -1 when none can be made.
int CreateTemporaryFile(const TableFolder& folder, const CacheFileKind& kind,
                        char (&path)[PATH_MAX]);

// Removes stale temporary files of `kind` and, least recently used first, this user's files of
// `kind` until they and the writes under way (`bytesPerWrite` each) fit in `limit` bytes. The
// file named `replacing` does not count. False when they cannot fit.
bool TrimFiles(const TableFolder& folder, const CacheFileKind& kind, const char* replacing,
               uint64_t bytesPerWrite, uint64_t limit);

// The file at `path` opened for reading when it is a regular file of this user that group and
// others cannot write (symbolic links are not followed, FIFOs do not block), with what it was
// then in `*st`; -1 otherwise.
int OpenOwnFile(const char* path, struct stat* st);

// Makes room for the writes under way: removes stale temporary files and, least recently used
// first, this user's table files until the tables and the writes under way (every temporary file
// of this user counts as a whole table, the caller's own included) fit under the limit. The file
// named `replacing` does not count. False when they cannot fit.
bool MakeRoomFor(const TableFolder& folder, const char* replacing);

// The table for `params` mapped from its file, or null when there is no file this process may
// trust: it must be a regular file of this user that group and others cannot write, of the
// exact size, whose header names this format and these parameters. The body is not read: every
// 32-bit pattern of it is a colour the decoders can store (see ColorTables.h). A mapped file is
// marked as just used. The exported view is not linked (LinkExportedView).
ColorLut* MapTableFile(const TableFolder& folder, const ColorParams& params);

// Seconds of a monotonic clock, for how long tables have been kept.
uint64_t MonotonicSeconds();

// A mapped table's file is marked as just used at most this often.
inline constexpr uint64_t kMarkIntervalSeconds = 60;

// For a table mapped from the folder: true when the folder still holds the very file it was
// mapped from (same device and inode under the same name), and this process may still trust it.
// One lstat.
bool TableFileUnchanged(const ColorLut& lut);

// Marks the file of a table mapped from the folder as just used, unless that was done less than
// kMarkIntervalSeconds ago.
void MarkTableFileUsed(ColorLut* lut, uint64_t nowSeconds);

// Writes `lut` to its file: into a temporary file of the folder, flushed to disk, then renamed
// into place, so the name never shows a partial file. Returns true when the folder holds the
// table afterwards (written now, or already there).
bool WriteTableFile(const TableFolder& folder, const ColorLut& lut);

}  // namespace tarn
