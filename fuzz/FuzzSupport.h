// Shared by the fuzz targets: the input as a slide file, and reading every output byte so that
// uninitialised memory shows under the sanitizers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnfuzz {

// Sums every byte; the sanitizers see each one read. Null is fine.
void Touch(const void* data, size_t size);

// Points ColorTable at the neutral table, once per process, for the decoders that take no slide.
void PublishNeutralColours();

// A file holding the input, for functions that take a path. The colour parameters of a slide are
// pinned to the seeds' values, so every run is served by one cached colour table and the fuzzer
// spends its time on the records, not on table builds.
class InputFile {
  public:
    InputFile(const uint8_t* data, size_t size, bool pinColours = true);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const char* path() const { return path_.c_str(); }

  private:
    std::string path_;
};

}  // namespace tarnfuzz
