#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarnexport {

bool TemporaryFile::Create(const std::string& path, std::string* error) {
    Discard();
    static std::atomic<unsigned long> counter{0};
    const size_t slash = path.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    for (;;) {
        temporary_ = path.substr(0, start) + "." + path.substr(start) + "." +
                     std::to_string(getpid()) + "-" + std::to_string(counter++) + ".part";
        fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        // A name left behind by a killed process of the same id is passed over.
        if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) {
        *error = "cannot create a file beside " + path + ": " + strerror(errno);
        temporary_.clear();
        return false;
    }
    path_ = path;
    return true;
}

bool TemporaryFile::Write(const uint8_t* bytes, size_t size, std::string* error) {
    while (size > 0) {
        const ssize_t n = write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "cannot write " + temporary_ + ": " + strerror(n < 0 ? errno : EIO);
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool TemporaryFile::Commit(const Stop& stop, std::string* error) {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        *error = "cannot write " + temporary_ + ": " + strerror(errno);
        Discard();
        return false;
    }
    if (stop.Requested()) {
        error->clear();
        Discard();
        return false;
    }
    if (rename(temporary_.c_str(), path_.c_str()) != 0) {
        *error = "cannot rename " + temporary_ + " to " + path_ + ": " + strerror(errno);
        Discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void TemporaryFile::Discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
}

PutResult ReplaceFile(const std::string& path, const uint8_t* bytes, size_t size, const Stop& stop,
                      std::string* error) {
    TemporaryFile file;
    if (!file.Create(path, error) || !file.Write(bytes, size, error)) return PutResult::Failed;
    if (file.Commit(stop, error)) return PutResult::Written;
    return error->empty() ? PutResult::Stopped : PutResult::Failed;
}

bool EnsureFolder(const std::string& path, std::string* error) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) return true;
        *error = path + " exists and is not a directory";
        return false;
    }
    if (mkdir(path.c_str(), 0777) == 0) return true;
    const int why = errno;
    // Another process (or thread) may have made it meanwhile.
    if (why == EEXIST && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
    *error = "cannot create directory " + path + ": " + strerror(why);
    return false;
}

bool FileExists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace tarnexport
