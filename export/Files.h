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

// A slide's whole output, a file or a folder, written under a temporary name beside its final one
// (".<name>.<pid>-<n>.part") and moved into place by Commit; Discard, and the destructor when not
// committed, remove it with everything in it.
class StagedOutput {
  public:
    StagedOutput() = default;
    ~StagedOutput() { Discard(); }
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    // Picks a free temporary name for `path`; nothing is made (the writer makes the file or the
    // folder).
    void Begin(const std::string& path);
    // Gives the output its final name. An existing one is refused unless `overwrite`, which
    // replaces it (a file or a folder, with what it holds) in one rename. False with an empty
    // `error` when the stop came first (the output is removed).
    bool Commit(bool overwrite, const Stop& stop, std::string* error);
    void Discard();

    const std::string& temporary() const { return temporary_; }

  private:
    std::string path_;
    std::string temporary_;
};

// Whether anything (a file, a folder, a link) has the name.
bool PathExists(const std::string& path);

// The message for an output that is there already.
std::string ExistsMessage(const std::string& path);

// Removes a file, or a folder with everything in it (links are removed, not followed).
void RemoveTree(const std::string& path);

// A whole file at once through a TemporaryFile.
PutResult ReplaceFile(const std::string& path, const uint8_t* bytes, size_t size, const Stop& stop,
                      std::string* error);

// Makes the folder unless it is there. False with a message when it cannot be made, or a file
// other than a folder has the name.
bool EnsureFolder(const std::string& path, std::string* error);

// Whether a regular file has the name (a file gets its name only when whole).
bool FileExists(const std::string& path);

}  // namespace tarnexport
