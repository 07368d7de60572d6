#include "Common/FileAccess.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace tarn
