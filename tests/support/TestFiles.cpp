#include "support/TestFiles.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

namespace tarntest {

namespace {

struct Directory {
    std::string path;
    Directory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarn-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) abort();
        path = pattern;
    }
    ~Directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::string& TestDirectory() {
    static const Directory directory;
    return directory.path;
}

TempFile::TempFile(const tarnwriter::Bytes& bytes, const std::string& suffix) {
    static std::atomic<int> counter{0};
    path_ = TestDirectory() + "/file" + std::to_string(counter++) + suffix;
    tarnwriter::WriteFile(path_, bytes);
}

TempFile::~TempFile() {
    unlink(path_.c_str());
}

FILE* TempFile::Open() const {
    return fopen(path_.c_str(), "rb");
}

}  // namespace tarntest
