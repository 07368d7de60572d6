#include "Core/FileSource.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Common/FileAccess.h"
#include "Common/Status.h"
#include "Common/FileRecords.h"

namespace tarn {
namespace {

// What an identity is made of, in a fixed order without padding: device, inode, size, seconds,
// nanoseconds, generation.
constexpr size_t kIdentityBytes = 5 * sizeof(uint64_t) + sizeof(uint32_t);

struct FileContext {
    char* path = nullptr;  // resolved, malloc'ed
    FileIdentity identity;
    unsigned char key[kIdentityBytes] = {};
};

void PackIdentity(const FileIdentity& identity, unsigned char* out) {
    const uint64_t words[] = {identity.device, identity.inode, static_cast<uint64_t>(identity.size),
                              static_cast<uint64_t>(identity.modifiedSeconds),
                              static_cast<uint64_t>(identity.modifiedNanoseconds)};
    memcpy(out, words, sizeof words);
    memcpy(out + sizeof words, &identity.generation, sizeof identity.generation);
}

// The file at `path`, checked against `expected` when there is one: a descriptor, or -1 (the file
// is gone or changed, with the reason in `*why`).
int OpenChecked(const char* path, const FileIdentity* expected, FileIdentity* found, Error* why) {
    const int fd = path != nullptr ? OpenRegularFile(path, found) : -1;
    if (fd < 0) {
        if (path == nullptr)
            Say(why, "the slide has no file name");
        else if (expected != nullptr)
            Say(why, "the slide file was removed since it was opened");
        else
            Say(why, "cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    if (expected != nullptr && !SameFile(*found, *expected)) {
        close(fd);
        Say(why, "the slide file was replaced or changed since it was opened");
        return -1;
    }
    return fd;
}

Status ReadFile(const char* path, const FileIdentity* expected, uint64_t offset, void* out,
                size_t length, Error* why) {
    FileIdentity found;
    const int fd = OpenChecked(path, expected, &found, why);
    if (fd < 0) return Status::FileChanged;
    const auto fileSize = static_cast<uint64_t>(found.size);
    Status code = Status::Ok;
    if (offset > fileSize || length > fileSize - offset) {
        Say(why, "%zu bytes at %llu lie past the end of the %llu-byte slide file", length,
            static_cast<unsigned long long>(offset), static_cast<unsigned long long>(fileSize));
        code = Status::ShortRead;
    } else if (errno = 0; !ReadFully(fd, offset, out, length)) {
        Say(why, "cannot read %zu bytes at %llu of the slide file: %s", length,
            static_cast<unsigned long long>(offset), errno != 0 ? strerror(errno) : "short read");
        code = Status::ShortRead;
    }
    close(fd);
    return code;
}

Status ReadOpenedFile(void* context, uint64_t offset, void* out, size_t length, Error* why) {
    const auto* file = static_cast<const FileContext*>(context);
    return ReadFile(file->path, &file->identity, offset, out, length, why);
}

Status CheckOpenedFile(void* context, Error* why) {
    const auto* file = static_cast<const FileContext*>(context);
    FileIdentity found;
    const int fd = OpenChecked(file->path, &file->identity, &found, why);
    if (fd < 0) return Status::FileChanged;
    close(fd);
    return Status::Ok;
}

void ReleaseOpenedFile(void* context) {
    auto* file = static_cast<FileContext*>(context);
    free(file->path);
    delete file;
}

Status ReadPath(void* context, uint64_t offset, void* out, size_t length, Error* why) {
    return ReadFile(static_cast<const char*>(context), nullptr, offset, out, length, why);
}

Status CheckPath(void* context, Error* why) {
    FileIdentity found;
    const int fd = OpenChecked(static_cast<const char*>(context), nullptr, &found, why);
    if (fd < 0) return Status::FileChanged;
    close(fd);
    return Status::Ok;
}

bool Fail(OpenFailure* failure, OpenError error, int systemError = 0) {
    if (failure != nullptr) {
        failure->error = error;
        failure->systemError = systemError;
    }
    return false;
}

}  // namespace

int ErrnoOf(const OpenFailure& failure) {
    switch (failure.error) {
        case OpenError::None:
            return 0;
        case OpenError::NoMemory:
            return ENOMEM;
        case OpenError::SystemError:
            return failure.systemError != 0 ? failure.systemError : EIO;
        case OpenError::SourceFailed:
            return EIO;
        default:
            return EINVAL;
    }
}

bool OpenFileSource(const char* path, ByteSource* source, OpenFailure* failure) {
    if (path == nullptr) return Fail(failure, OpenError::NoPath);
    auto* file = new (std::nothrow) FileContext;
    if (file == nullptr) return Fail(failure, OpenError::NoMemory);
    file->path = realpath(path, nullptr);
    if (file->path == nullptr) {
        const int error = errno;
        delete file;
        return Fail(failure, error == ENOMEM ? OpenError::NoMemory : OpenError::SystemError, error);
    }
    const int fd = OpenRegularFile(file->path, &file->identity);
    if (fd < 0) {
        const int error = errno;
        ReleaseOpenedFile(file);
        return Fail(failure, error == EINVAL ? OpenError::NotRegularFile : OpenError::SystemError,
                    error);
    }
    close(fd);
    PackIdentity(file->identity, file->key);
    *source = ByteSource{};
    source->context = file;
    source->size = static_cast<uint64_t>(file->identity.size);
    source->read = ReadOpenedFile;
    source->check = CheckOpenedFile;
    source->release = ReleaseOpenedFile;
    source->identity = file->key;
    source->identitySize = sizeof file->key;
    return true;
}

ByteSource PathSource(const char* path) {
    ByteSource source;
    source.context = const_cast<char*>(path);
    source.size = UINT64_MAX;  // each read checks against the file found then
    source.read = ReadPath;
    source.check = CheckPath;
    return source;
}

}  // namespace tarn
