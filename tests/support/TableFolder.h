// Colour-table folders for tests: an environment variable set for the life of an object, and a
// fixture that gives each test a fresh folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/FreshTables.h"

namespace tarntest {

// Sets (or, with null, unsets) an environment variable; the old value comes back at the end.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Each test starts with an empty table folder named by TARN_CACHE_DIR, no table held or cached
// and no write pending; the folder goes when the test ends.
class TableFolderTest : public FreshTables {
  protected:
    TableFolderTest();
    ~TableFolderTest() override;
    void TearDown() override;

    const std::string& folder() const { return folder_; }
    // The path the table of `params` has in the folder.
    std::string TablePath(const tarn::ColorParams& params) const;

  private:
    std::string folder_;
    std::optional<ScopedEnvironment> environment_;
};

// Tests that count table builds: no folder, so nothing is mapped instead of built.
class NoTableFolderTest : public FreshTables {
  private:
    ScopedEnvironment off_{"TARN_CACHE_DIR", ""};
};

}  // namespace tarntest
