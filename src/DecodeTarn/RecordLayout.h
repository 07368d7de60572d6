// Fixed positions of the Tarn format and the small checked steps every record read is made of.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "DecodeTarn/ZyCommon.h"

namespace tarn {

inline constexpr int64_t kHeadSize = sizeof(ZyPicHead);
inline constexpr int64_t kPersonOffset = 156;
inline constexpr int64_t kExtraOffset = 6964;
inline constexpr int64_t kMacroChainStart = 7732;

static_assert(sizeof(ZyPicHead) == 156);
static_assert(sizeof(ZyPersonInfo) == 6808);
static_assert(sizeof(ZyExtraInfo) == 768);
static_assert(sizeof(ZyMacrographInfo) == 123);
static_assert(sizeof(ZyPicInfo) == 122);
static_assert(sizeof(BmpInfo) == 40);
static_assert(kPersonOffset + static_cast<int64_t>(sizeof(ZyPersonInfo)) == kExtraOffset);
static_assert(kExtraOffset + static_cast<int64_t>(sizeof(ZyExtraInfo)) == kMacroChainStart);
static_assert(offsetof(ZyPicHead, CompressionType) == 104);
static_assert(offsetof(ZyPicHead, MPP) == 76);
static_assert(offsetof(ZyExtraInfo, ColorMatrix) == 62);
static_assert(offsetof(ZyMacrographInfo, NextOffset) == 43);
static_assert(offsetof(ZyPicInfo, DataFormat) == 58);

// A magic is two ASCII characters, first byte first.
inline bool HasMagic(const char* magic, const char (&expected)[3]) {
    return magic[0] == expected[0] && magic[1] == expected[1];
}

// Seeks from the start of the file; offsets taken from the file are unsigned 64-bit and may not
// be representable as a position at all.
inline bool SeekTo(FILE* stream, uint64_t offset) {
    return offset <= static_cast<uint64_t>(INT64_MAX) &&
           ZyFseeki64(stream, static_cast<int64_t>(offset), SEEK_SET) == 0;
}

// One item of exactly `size` bytes, or false.
inline bool ReadExactly(FILE* stream, void* buffer, int64_t size) {
    return size == 0 || ZyReadData(buffer, size, 1, stream) == 1;
}

// Size of the file behind the stream, leaving its position alone; -1 when unknown.
inline int64_t StreamSize(FILE* stream) {
    if (stream == nullptr) return -1;
    struct stat status {};
    const int fd = fileno(stream);
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
        return static_cast<int64_t>(status.st_size);
    // Streams without a regular file behind them (memory streams, pipes): measure by seeking.
    const int64_t position = ZyFtelli64(stream);
    if (position < 0 || ZyFseeki64(stream, 0, SEEK_END) != 0) return -1;
    const int64_t size = ZyFtelli64(stream);
    if (ZyFseeki64(stream, position, SEEK_SET) != 0) return -1;
    return size;
}

// Bytes from the current position to the end of the file, or -1.
inline int64_t BytesLeft(FILE* stream, int64_t fileSize) {
    const int64_t position = ZyFtelli64(stream);
    if (position < 0 || position > fileSize) return -1;
    return fileSize - position;
}

}  // namespace tarn
