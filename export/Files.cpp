#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tarnexport {
namespace {

std::atomic<unsigned long> counter{0};

// "<folder>/.<name>.<pid>-<n><suffix>" for `path` (its trailing slashes dropped).
std::string HiddenBeside(std::string path, const char* suffix) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const size_t slash = path.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, start) + "." + path.substr(start) + "." + std::to_string(getpid()) + "-" +
           std::to_string(counter++) + suffix;
}

// Makes a rename in the folder of `path` last through a power cut.
void SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// renameat2 with `flags`; EINVAL where the file system cannot honour them.
int RenameWith(const std::string& from, const std::string& to, unsigned flags) {
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
}

}  // namespace

bool TemporaryFile::Create(const std::string& path, std::string* error) {
    Discard();
    for (;;) {
        temporary_ = HiddenBeside(path, ".part");
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

void StagedOutput::Begin(const std::string& path) {
    Discard();
    path_ = path;
    while (path_.size() > 1 && path_.back() == '/')
        path_.pop_back();
    // A name left behind by a killed process of the same id is passed over.
    do
        temporary_ = HiddenBeside(path_, ".part");
    while (PathExists(temporary_));
}

bool StagedOutput::Commit(bool overwrite, const Stop& stop, std::string* error) {
    error->clear();
    if (stop.Requested()) {
        Discard();
        return false;
    }
    if (!PathExists(temporary_)) {
        *error = "the output " + path_ + " was not written";
        return false;
    }
    int done = RenameWith(temporary_, path_, RENAME_NOREPLACE);
    if (done != 0 && errno == EINVAL) {  // no renameat2 here: check, then rename
        if (!PathExists(path_))
            done = rename(temporary_.c_str(), path_.c_str());
        else
            errno = EEXIST;
    }
    if (done != 0 && errno == EEXIST && overwrite) {
        // Swapped in one step, so that the name always holds a whole output; the old one then
        // has the temporary name and goes with it.
        done = RenameWith(temporary_, path_, RENAME_EXCHANGE);
        if (done != 0 && errno == EINVAL) {
            const std::string aside = HiddenBeside(path_, ".old");
            done = rename(path_.c_str(), aside.c_str());
            if (done == 0 && (done = rename(temporary_.c_str(), path_.c_str())) != 0)
                rename(aside.c_str(), path_.c_str());
            if (done == 0) RemoveTree(aside);
        }
    }
    if (done != 0) {
        const int why = errno;
        *error = why == EEXIST
                     ? ExistsMessage(path_)
                     : "cannot rename " + temporary_ + " to " + path_ + ": " + strerror(why);
        Discard();
        return false;
    }
    Discard();  // after an exchange, the old output
    temporary_.clear();
    SyncFolderOf(path_);
    return true;
}

void StagedOutput::Discard() {
    if (!temporary_.empty()) RemoveTree(temporary_);
}

bool PathExists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::string ExistsMessage(const std::string& path) {
    return path + " exists already: the overwrite option replaces it";
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
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
