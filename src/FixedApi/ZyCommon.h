// Shared by the library's sources: the exported C++ declarations and the two inline file
// primitives, which are emitted (and exported) from every source that includes this header.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "DecodeTarnCxx.h"

#define ZY_INLINE_EXPORT ZY_API __attribute__((used)) inline

// Whole items read; fewer than count means end of file or a read error.
ZY_INLINE_EXPORT int64_t ZyReadData(void* buffer, int64_t size, int64_t count, FILE* stream) {
    if (buffer == nullptr || stream == nullptr || size <= 0 || count <= 0) return 0;
    return static_cast<int64_t>(
        fread(buffer, static_cast<size_t>(size), static_cast<size_t>(count), stream));
}

// access(2): 0 when the path is accessible in that mode, -1 otherwise.
ZY_INLINE_EXPORT int Access(const char* path, int mode) {
    return path == nullptr ? -1 : access(path, mode);
}
