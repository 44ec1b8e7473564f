// Number scanning of data lines: the rules that stored data files rely on.
#include <gtest/gtest.h>

#include "numscan.h"

TEST(NumScan, BlanksMatchAnyWhiteSpaceIncludingNone) {
    double v[4] = {};
    EXPECT_EQ(scan_numbers("1.5-2", v, 2), 2);
    EXPECT_EQ(v[0], 1.5);
    EXPECT_EQ(v[1], -2.0);
    EXPECT_EQ(scan_numbers(" \t1e3\t\t 2\n", v, 2), 2);
    EXPECT_EQ(v[0], 1000.0);
    EXPECT_EQ(v[1], 2.0);
}

TEST(NumScan, DanglingExponentIsConsumed) {
    double v[2] = {};
    EXPECT_EQ(scan_numbers("1e 5", v, 2), 2);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[1], 5.0);
}

TEST(NumScan, EmptyAndBlankLinesHoldNoNumber) {
    double v[1] = {};
    EXPECT_EQ(scan_numbers("", v, 1), -1);
    EXPECT_EQ(scan_numbers(" \t\r\n", v, 1), -1);
    EXPECT_EQ(scan_numbers("!comment", v, 1), 0);
    EXPECT_EQ(scan_numbers("1,2", v, 2), 1);
}
