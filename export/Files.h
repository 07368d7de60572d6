// Files that get their final name only when whole: every writer's output goes through these, so
// an interrupted export never leaves part of a file under a name a reader would take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Format.h"

namespace tarnexport {

// A file being written under a temporary name beside its final one (".<name>.<pid>-<n>.part"),
// renamed into place by Commit and removed by the destructor when not committed.
class TemporaryFile {
  public:
    TemporaryFile() = default;
    ~TemporaryFile() { Discard(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates the temporary file for `path`. False with a message.
    bool Create(const std::string& path, std::string* error);
    // Appends bytes. False with a message.
    bool Write(const uint8_t* bytes, size_t size, std::string* error);
    // Closes the file and renames it to its final name, unless the stop came meanwhile (false
    // with an empty `error`: the file is removed).
    bool Commit(const Stop& stop, std::string* error);
    // Removes the file if it was not committed.
    void Discard();

    int descriptor() const { return fd_; }
    const std::string& temporary() const { return temporary_; }

  private:
    std::string path_;
    std::string temporary_;
    int fd_ = -1;
};

// A whole file at once through a TemporaryFile.
PutResult ReplaceFile(const std::string& path, const uint8_t* bytes, size_t size, const Stop& stop,
                      std::string* error);

// Makes the folder unless it is there. False with a message when it cannot be made, or a file
// other than a folder has the name.
bool EnsureFolder(const std::string& path, std::string* error);

// Whether a regular file has the name (a file gets its name only when whole).
bool FileExists(const std::string& path);

}  // namespace tarnexport
