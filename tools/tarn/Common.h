// What the subcommands share: argument handling with --help, and an open slide.
#pragma once

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "Args.h"
#include "DecodeTarn.h"
#include "tarn.h"

namespace tarncli {

// Parses a subcommand's arguments. Returns false when the command should end at once: after
// printing its help (exit 0) or a usage error (exit 2), with the code in `exitCode`.
bool ParseCommand(int argc, char** argv, const char* help, const std::vector<std::string>& valued,
                  const std::vector<std::string>& flags, size_t positional, Args* args,
                  int* exitCode);
// The same for a command taking from `least` to `most` positional arguments.
bool ParseCommandRange(int argc, char** argv, const char* help,
                       const std::vector<std::string>& valued,
                       const std::vector<std::string>& flags, size_t least, size_t most, Args* args,
                       int* exitCode);

// A slide's name in URLs and Deep Zoom file names: its file name (a URL's last path segment)
// without folder and extension, every character other than letters, digits, '.', '-' and '_'
// turned into '_' ("slide" for a name of dots only).
std::string SlideName(const std::string& path);

// Prints "tarn: <message>" on stderr and returns the failure exit code.
int Fail(const std::string& message);

// Whether a slide argument is a URL (http://, https:// or s3://), which the commands read
// through tarn.h.
bool IsUrl(const std::string& name);

// A slide argument as messages show it: a URL without its user part and query (where
// credentials and signatures travel), anything else as it is.
std::string Shown(const std::string& name);

// A slide opened for one command. A failed open keeps the errno the library left, which tells
// why: ENOMEM for memory, EINVAL for a file that is no readable slide, otherwise the errno of the
// system call that failed.
class Slide {
  public:
    explicit Slide(const std::string& path) : path_(path) {
        errno = 0;
        info_ = ZyOpenTarn(path.c_str());
        error_ = errno;
    }
    ~Slide() { ZyCloseTarn(info_); }
    Slide(const Slide&) = delete;
    Slide& operator=(const Slide&) = delete;

    ZyTarnInfo* get() const { return info_; }
    explicit operator bool() const { return info_ != nullptr; }

    // Why the open failed, for a message.
    std::string Failure() const;

  private:
    std::string path_;
    ZyTarnInfo* info_ = nullptr;
    int error_ = 0;
};

// A slide opened through tarn.h for one command; a failed open keeps the library's reason.
class ModernSlide {
  public:
    explicit ModernSlide(const std::string& path) : slide_(tarn_open(path.c_str())) {
        if (slide_ == nullptr) {
            const char* why = tarn_get_error(nullptr);
            failure_ = why != nullptr ? why : "cannot open " + path;
        }
    }
    ~ModernSlide() { tarn_close(slide_); }
    ModernSlide(const ModernSlide&) = delete;
    ModernSlide& operator=(const ModernSlide&) = delete;

    tarn_slide* get() const { return slide_; }
    explicit operator bool() const { return slide_ != nullptr; }
    const std::string& Failure() const { return failure_; }

  private:
    tarn_slide* slide_;
    std::string failure_;
};

}  // namespace tarncli
