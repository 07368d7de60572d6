// Thin wrappers over stdio and POSIX with 64-bit positions. They add only null checks.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "FixedApi/ZyCommon.h"

FILE* ZyOpenFile(char* path, char* mode) {
    if (path == nullptr || mode == nullptr) return nullptr;
    return fopen(path, mode);
}

void ZyCloseFile(FILE* stream) {
    if (stream != nullptr) fclose(stream);
}

int ZyFseeki64(FILE* stream, int64_t offset, int origin) {
    if (stream == nullptr) return -1;
    return fseeko(stream, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

int64_t ZyFtelli64(FILE* stream) {
    if (stream == nullptr) return -1;
    return static_cast<int64_t>(ftello(stream));
}

void ZyRewind(FILE* stream) {
    if (stream != nullptr) rewind(stream);
}

int64_t ZyGetFileSize(FILE* stream) {
    if (stream == nullptr) return -1;
    if (fseeko(stream, 0, SEEK_END) != 0) return -1;
    const int64_t size = ftello(stream);
    rewind(stream);
    return size;
}

int64_t ZyGetFileSizeSystemCall(char* path) {
    struct stat64 status {};
    if (path == nullptr || stat64(path, &status) != 0) return -1;
    return static_cast<int64_t>(status.st_size);
}

void* ZyMemset(void* buffer, int value, int64_t count) {
    if (buffer == nullptr || count <= 0) return buffer;
    return memset(buffer, value, static_cast<size_t>(count));
}

void ZyFreeMemory(void* pointer) {
    free(pointer);
}
