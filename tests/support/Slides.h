// An open slide for the length of a test.
#pragma once

#include "DecodeTarn.h"
#include "support/TestFiles.h"

namespace tarntest {

class OpenSlide {
  public:
    explicit OpenSlide(const TempFile& file) : info_(ZyOpenTarn(file.c_str())) {}
    explicit OpenSlide(const char* path) : info_(ZyOpenTarn(path)) {}
    ~OpenSlide() { ZyCloseTarn(info_); }
    OpenSlide(const OpenSlide&) = delete;
    OpenSlide& operator=(const OpenSlide&) = delete;

    explicit operator bool() const { return info_ != nullptr; }
    ZyTarnInfo* get() const { return info_; }
    ZyTarnInfo* operator->() const { return info_; }

  private:
    ZyTarnInfo* info_;
};

}  // namespace tarntest
