// Number scanning of data lines: the rules that stored data files rely on.
// Each case is checked against the C library's sscanf as well as against the
// expected value, so a wrong expectation here cannot hide a difference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "numscan.h"

namespace {

constexpr double unset = -12345.678; // marks slots that must stay untouched

struct Scan {
    int count;
    double v[4];
};

Scan ours(const char* s, int count) {
    Scan r{0, {unset, unset, unset, unset}};
    r.count = scan_numbers(s, r.v, count);
    return r;
}

Scan c_library(const char* s, int count) {
    Scan r{0, {unset, unset, unset, unset}};
    double* v = r.v;
    switch (count) {
    case 1:
        r.count = std::sscanf(s, "%lf", &v[0]);
        break;
    case 2:
        r.count = std::sscanf(s, "%lf %lf", &v[0], &v[1]);
        break;
    case 3:
        r.count = std::sscanf(s, "%lf %lf %lf", &v[0], &v[1], &v[2]);
        break;
    default:
        r.count = std::sscanf(s, "%lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3]);
        break;
    }
    return r;
}

// Scans `s` with `count` numbers, checks the result against sscanf bit for
// bit, and returns it for the case's own expectations.
Scan scan(const char* s, int count) {
    const Scan a = ours(s, count);
    const Scan b = c_library(s, count);
    EXPECT_EQ(a.count, b.count) << "input \"" << s << "\" count " << count;
    EXPECT_EQ(std::memcmp(a.v, b.v, sizeof a.v), 0) << "input \"" << s << "\" count " << count;
    return a;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(NumScan, RealisticLinesInAllLayouts) {
    Scan r = scan("1700000000.01 123.4567 -0.0012345 98765.43\n", 4);
    EXPECT_EQ(r.count, 4);
    EXPECT_EQ(r.v[0], 1700000000.01);
    EXPECT_EQ(r.v[1], 123.4567);
    EXPECT_EQ(r.v[2], -0.0012345);
    EXPECT_EQ(r.v[3], 98765.43);
    r = scan("1700000000.01\t-17.25\r\n", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[1], -17.25);
    r = scan("  +3.5e-3\n", 1);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.v[0], 3.5e-3);
}

TEST(NumScan, BlanksMatchAnyWhiteSpaceIncludingNone) {
    Scan r = scan("1.5-2", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[0], 1.5);
    EXPECT_EQ(r.v[1], -2.0);
    r = scan(" \t1e3\v\f 2\n", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[0], 1000.0);
    EXPECT_EQ(r.v[1], 2.0);
    r = scan("1+2+3+4", 4);
    EXPECT_EQ(r.count, 4);
    EXPECT_EQ(r.v[3], 4.0);
    // A second point or a point after the exponent starts the next number.
    r = scan("1.5.3", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[1], 0.3);
    r = scan("1e5.25", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[0], 1e5);
    EXPECT_EQ(r.v[1], 0.25);
    // A sign is taken only directly after the "e".
    r = scan("1e5-3", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[1], -3.0);
    r = scan("1e+-5", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[0], 1.0);
    EXPECT_EQ(r.v[1], -5.0);
}

TEST(NumScan, DanglingExponentIsConsumed) {
    Scan r = scan("1e 5", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[0], 1.0);
    EXPECT_EQ(r.v[1], 5.0);
    r = scan("2.5E+", 1);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.v[0], 2.5);
    r = scan("1e5e7", 2); // the second "e" cannot belong to the first number
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.v[0], 1e5);
    r = scan("7ex", 2); // "7e" is 7, then "x" is not a number
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.v[0], 7.0);
}

TEST(NumScan, MalformedPrefixesAreNotNumbers) {
    for (const char* s : {"0x", "-0x", "0xg", ".", "-", "+", "-.", "+.e5", ".e1", "e5", "--1",
                          "infinit", "in", "na", "x1", ",1", "!1"}) {
        const Scan r = scan(s, 1);
        EXPECT_EQ(r.count, 0) << s;
        EXPECT_EQ(r.v[0], unset) << s;
    }
    // After a number, a malformed one ends the line with the count so far.
    Scan r = scan("1 0x 3 4", 4);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.v[1], unset);
    r = scan("1,2", 2);
    EXPECT_EQ(r.count, 1);
}

TEST(NumScan, HexadecimalInfinityAndNan) {
    Scan r = scan("0x1.8p1 -0X10", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.v[0], 3.0);
    EXPECT_EQ(r.v[1], -16.0);
    r = scan("-Inf INFINITY infx", 3);
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(r.v[0], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(r.v[1], std::numeric_limits<double>::infinity());
    EXPECT_EQ(r.v[2], std::numeric_limits<double>::infinity());
    r = scan("nan(12)", 2); // stops after "nan"; "(12)" is not a number
    EXPECT_EQ(r.count, 1);
    EXPECT_TRUE(std::isnan(r.v[0]));
    r = scan("-NaN 1", 2);
    EXPECT_EQ(r.count, 2);
    EXPECT_TRUE(std::isnan(r.v[0]) && std::signbit(r.v[0]));
    // A hand-off in the middle of a line continues where the fast path was.
    r = scan("1.25 2 inf 0x2", 4);
    EXPECT_EQ(r.count, 4);
    EXPECT_EQ(r.v[1], 2.0);
    EXPECT_EQ(r.v[3], 2.0);
}

TEST(NumScan, EndOfInputBeforeANumber) {
    EXPECT_EQ(scan("", 1).count, -1);
    EXPECT_EQ(scan(" \t\r\n\v\f", 4).count, -1);
    EXPECT_EQ(scan("!comment", 1).count, 0);
    EXPECT_EQ(scan("5 ", 2).count, 1);
    EXPECT_EQ(scan("5 6\n", 4).count, 2);
    // Only the C locale's white space is skipped.
    EXPECT_EQ(scan("\xa0"
                   "1",
                   1)
                  .count,
              0);
    EXPECT_EQ(scan("\x85"
                   "1",
                   1)
                  .count,
              0);
}

TEST(NumScan, RoundingAndRange) {
    // Signed zeros, long mantissas, values at the edges of the exact path,
    // subnormals and overflow are all as strtod gives them.
    EXPECT_TRUE(same_bits(scan("-0", 1).v[0], -0.0));
    EXPECT_TRUE(same_bits(scan("-0e999", 1).v[0], -0.0));
    EXPECT_TRUE(same_bits(scan("0.000000000000000000000000000000", 1).v[0], 0.0));
    EXPECT_EQ(scan("9007199254740993", 1).v[0], 9007199254740992.0); // tie to even
    EXPECT_EQ(scan("9007199254740993.0000000000001", 1).v[0], 9007199254740994.0);
    EXPECT_EQ(scan("18446744073709551616", 1).v[0], 18446744073709551616.0);
    EXPECT_EQ(scan("1e22", 1).v[0], 1e22);
    EXPECT_EQ(scan("1e23", 1).v[0], 1e23);
    EXPECT_EQ(scan("123456789e-22", 1).v[0], 123456789e-22);
    EXPECT_EQ(scan("0.1", 1).v[0], 0.1);
    EXPECT_EQ(scan("4.9406564584124654e-324", 1).v[0], 4.9406564584124654e-324);
    EXPECT_EQ(scan("2.4703282292062327e-324", 1).v[0], 0.0);
    EXPECT_EQ(scan("1e400", 1).v[0], std::numeric_limits<double>::infinity());
    EXPECT_EQ(scan("-1e400", 1).v[0], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(scan("1e-400", 1).v[0], 0.0);
    EXPECT_EQ(scan("1e99999999999999999999", 1).v[0], std::numeric_limits<double>::infinity());
    const std::string long_digits = std::string(300, '1') + "e-300";
    scan(long_digits.c_str(), 1);
}
