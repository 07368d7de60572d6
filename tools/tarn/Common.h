// What the subcommands share: argument handling with --help, slide names, and an open slide.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Args.h"
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

// Whether a slide argument is a URL (http://, https:// or s3://).
bool IsUrl(const std::string& name);

// A slide argument as messages show it: a URL without its user part and query (where
// credentials and signatures travel), anything else as it is.
std::string Shown(const std::string& name);

// A slide file or URL opened through tarn.h for one command. A failed open keeps why: what the
// file system says of the path (missing, a directory...), else the library's reason.
class Slide {
  public:
    explicit Slide(const std::string& path);
    ~Slide() { tarn_close(slide_); }
    Slide(const Slide&) = delete;
    Slide& operator=(const Slide&) = delete;

    tarn_slide* get() const { return slide_; }
    explicit operator bool() const { return slide_ != nullptr; }
    const std::string& Failure() const { return failure_; }
    // The library's reason for the last call on the slide that failed.
    std::string Why() const;

  private:
    tarn_slide* slide_ = nullptr;
    std::string failure_;
};

}  // namespace tarncli
