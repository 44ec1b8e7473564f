// A fixture for tests of the conversion stages, which share process-wide
// state: each test starts from an empty sample table and comment slots and
// the default settings, and leaves the defaults behind for the next test.
#pragma once

#include <gtest/gtest.h>

#include "velkor.h"

class ConversionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        samples.clear();
        n1 = 0;
        for (auto& c : cline)
            c.clear();
        reset_settings();
    }
    void TearDown() override { reset_settings(); }

    static void reset_settings() {
        global_scale = 1.0;
        binary = 1;
        normaltime = 1;
        time_in_minutes = 0;
        end_mode = EM_ZERO;
        min_in_day = 0;
    }
};
