#include "support/TestFiles.h"

#include <unistd.h>

#include <atomic>

namespace tarntest {

const std::string& TestDirectory() {
    static const tarnwriter::ScratchDirectory directory("tarn-test");
    return directory.path();
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
