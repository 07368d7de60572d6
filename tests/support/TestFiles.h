// Temporary slide files for tests: written from bytes, removed when the test ends.
#pragma once

#include <cstdio>
#include <string>

#include "TarnWriter.h"

namespace tarntest {

// A directory of its own for this test process, removed at exit.
const std::string& TestDirectory();

// A file in the test directory holding `bytes`; removed when the object goes.
class TempFile {
  public:
    explicit TempFile(const tarnwriter::Bytes& bytes, const std::string& suffix = ".tarn");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    const char* c_str() const { return path_.c_str(); }
    // A fresh read stream at position 0; the caller closes it.
    FILE* Open() const;

  private:
    std::string path_;
};

}  // namespace tarntest
