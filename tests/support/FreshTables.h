// A test that starts and ends with no colour table held: nothing published, nothing cached, no
// write to the table folder under way.
#pragma once

#include <gtest/gtest.h>

#include "ColorCorrect/ColorTables.h"

namespace tarntest {

class FreshTables : public testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        tarn::WaitForColorLutWrites();
        tarn::PublishColorTable(nullptr);
        tarn::TrimColorLutCache();
    }
};

}  // namespace tarntest
