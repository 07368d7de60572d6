// Colour tables kept on disk, so that a table is built once per user rather than once per
// process: the table files in the cache folder (CacheFolder/CacheFolder.h), their format, the
// checks a file must pass before it is mapped, and their write.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

struct stat;

#include "CacheFolder/CacheFolder.h"
#include "ColorCorrect/ColorLut.h"

namespace tarn {

// A table file: one page of header (magic, format version, sizes, the parameters), then the body
// of the table exactly as it lies in memory.
inline constexpr uint32_t kTableFormatVersion = 1;
inline constexpr size_t kTableHeaderBytes = 4096;
inline constexpr uint64_t kTableFileBytes = kTableHeaderBytes + kLutBodyBytes;
// The path of the file for `params`: its name holds the format version and every parameter's
// bits. False when it would not fit.
bool TableFilePath(const CacheFolder& folder, const ColorParams& params, char (&path)[PATH_MAX]);

// The kind of the table files in the folder.
const CacheFileKind& TableFileKind();

// Makes room for the writes under way: removes stale temporary files and, least recently used
// first, this user's table files until the tables and the writes under way (every temporary file
// of this user counts as a whole table, the caller's own included) fit under the limit. The file
// named `replacing` does not count. False when they cannot fit.
bool MakeRoomFor(const CacheFolder& folder, const char* replacing);

// The table for `params` mapped from its file, or null when there is no file this process may
// trust: it must be a regular file of this user that group and others cannot write, of the
// exact size, whose header names this format and these parameters. The body is not read: every
// 32-bit pattern of it is a colour the decoders can store (see ColorTables.h). A mapped file is
// marked as just used. The exported view is not linked (LinkExportedView).
ColorLut* MapTableFile(const CacheFolder& folder, const ColorParams& params);

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
bool WriteTableFile(const CacheFolder& folder, const ColorLut& lut);

}  // namespace tarn
