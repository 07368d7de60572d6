#include "support/TableFolder.h"

#include <cstdlib>
#include <filesystem>

#include "ColorCorrect/TableFiles.h"
#include "support/TestFiles.h"

namespace tarntest {
namespace {

// Run outside ctest (by hand, under valgrind), the tests still keep out of the user's folder.
[[maybe_unused]] const bool kOwnFolder =
    setenv("TARN_CACHE_DIR", (TestDirectory() + "/colour-tables").c_str(), 0) == 0;

}  // namespace

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (old_)
        setenv(name_.c_str(), old_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

TableFolderTest::TableFolderTest() {
    static int counter = 0;
    folder_ = TestDirectory() + "/tables" + std::to_string(counter++);
    environment_.emplace("TARN_CACHE_DIR", folder_.c_str());
}

TableFolderTest::~TableFolderTest() {
    environment_.reset();
    std::filesystem::remove_all(folder_);
}

void TableFolderTest::TearDown() {
    tarn::WaitForColorLutWrites();
    FreshTables::TearDown();
}

std::string TableFolderTest::TablePath(const tarn::ColorParams& params) const {
    tarn::CacheFolder named{};
    folder_.copy(named.path, sizeof named.path - 1);
    char path[PATH_MAX];
    return tarn::TableFilePath(named, params, path) ? path : "";
}

}  // namespace tarntest
