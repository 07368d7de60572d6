#include "Common/FileAccess.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tarn {
namespace {

FileIdentity IdentityOf(int fd, const struct stat& status) {
    FileIdentity identity;
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.inode = static_cast<uint64_t>(status.st_ino);
    identity.size = static_cast<int64_t>(status.st_size);
    identity.modifiedSeconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    identity.modifiedNanoseconds = static_cast<int64_t>(status.st_mtim.tv_nsec);
    int generation = 0;
    if (ioctl(fd, FS_IOC_GETVERSION, &generation) == 0)
        identity.generation = static_cast<uint32_t>(generation);
    return identity;
}

FILE* StreamOf(const FileReader& reader) {
    return static_cast<FILE*>(reader.stream);
}

bool ReadSource(const FileReader& reader, uint64_t offset, void* out, uint64_t count) {
    if (count == 0) return true;
    if (reader.fd >= 0) return ReadFully(reader.fd, offset, out, static_cast<size_t>(count));
    FILE* stream = StreamOf(reader);
    return stream != nullptr && fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           fread(out, static_cast<size_t>(count), 1, stream) == 1;
}

}  // namespace

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modifiedSeconds == b.modifiedSeconds &&
           a.modifiedNanoseconds == b.modifiedNanoseconds && a.generation == b.generation;
}

int OpenRegularFile(const char* path, FileIdentity* identity) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat status {};
    const bool stated = fstat(fd, &status) == 0;
    if (!stated || !S_ISREG(status.st_mode)) {
        const int error = stated ? EINVAL : errno;
        close(fd);
        errno = error;
        return -1;
    }
    *identity = IdentityOf(fd, status);
    return fd;
}

bool ReadFully(int fd, uint64_t offset, void* out, size_t size) {
    auto* at = static_cast<uint8_t*>(out);
    while (size > 0) {
        const ssize_t n = pread(fd, at, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

FileReader ReaderOverDescriptor(int fd, uint64_t size) {
    FileReader reader;
    reader.fd = fd;
    reader.size = size;
    return reader;
}

bool ReaderOverStream(void* stream, FileReader* reader) {
    FILE* file = static_cast<FILE*>(stream);
    if (file == nullptr) return false;
    int64_t size = -1;
    struct stat status {};
    const int fd = fileno(file);
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        size = static_cast<int64_t>(status.st_size);
    } else {
        // Streams without a regular file behind them (memory streams): measure by seeking.
        const off_t position = ftello(file);
        if (position < 0 || fseeko(file, 0, SEEK_END) != 0) return false;
        size = static_cast<int64_t>(ftello(file));
        if (fseeko(file, position, SEEK_SET) != 0) return false;
    }
    if (size < 0) return false;
    *reader = {};
    reader->stream = stream;
    reader->size = static_cast<uint64_t>(size);
    return true;
}

bool ReadBytesAt(FileReader& reader, uint64_t offset, void* out, uint64_t count) {
    if (offset > reader.size || count > reader.size - offset) return false;
    if (!ReadSource(reader, offset, out, count)) return false;
    reader.offset = offset + count;
    return true;
}

uint64_t ReadAvailableAt(FileReader& reader, uint64_t offset, void* out, uint64_t count) {
    if (offset > reader.size) return 0;
    const uint64_t available = count < reader.size - offset ? count : reader.size - offset;
    if (!ReadSource(reader, offset, out, available)) return 0;
    reader.offset = offset + available;
    return available;
}

}  // namespace tarn
