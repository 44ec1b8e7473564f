// Number scanning of data lines: the rules that stored data files rely on.
// Each case is checked against the C library's sscanf as well as against the
// expected value, so a wrong expectation here cannot hide a difference. Then
// what may follow a number, and the reading of a whole data line under the
// reading options (data_line.h).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "data_line.h"
#include "numscan.h"
#include "row_scan_check.h"

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
    // The way of clean lines takes a line whole only as sscanf reads it.
    Scan plain{count, {unset, unset, unset, unset}};
    if (scan_plain_line(s, plain.v, count)) {
        EXPECT_EQ(b.count, count) << s;
        EXPECT_EQ(std::memcmp(plain.v, b.v, sizeof plain.v), 0) << s;
    }
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

TEST(NumScan, WhatFollowsANumber) {
    // `glued`: the offset of the number that text glued to it follows, or -1;
    // `end`: where the last number read ends.
    const struct {
        const char* line;
        int count, n, glued, end;
    } cases[] = {
        {"12.5Pa", 1, 1, 0, 4},
        {"1767312000.00 0,3738\n", 2, 2, 14, 15},
        {"1,5 2", 2, 1, 0, 1},
        {"1.5x 2", 2, 1, 0, 3},
        {"1e5e7", 2, 1, 0, 3},
        {"7ex", 2, 1, 0, 2}, // "7e" is consumed
        {"5nA", 1, 1, 0, 1}, // not the start of "nan"
        {"nan(12)", 1, 1, 0, 3},
        {"0x1p3,", 1, 1, 0, 5},
        // The start of the next number, white space and the end are fine.
        {"1.5-2", 2, 2, -1, 5},
        {"1.5-2", 1, 1, -1, 3},
        {"1inf", 2, 2, -1, 4},
        {"1.5 x", 2, 1, -1, 3},
        {"1 2", 1, 1, -1, 1},
        {"  -3\t\r\n", 1, 1, -1, 4},
        {"", 1, -1, -1, 0},
    };
    for (const auto& c : cases) {
        NumberEnds ends;
        double v[4] = {unset, unset, unset, unset};
        EXPECT_EQ(scan_numbers(c.line, v, c.count, ends), c.n) << c.line;
        EXPECT_EQ(ends.glued == nullptr ? -1 : ends.glued - c.line, c.glued) << c.line;
        EXPECT_EQ(ends.end - c.line, c.end) << c.line;
        // The values are those of the plain reading.
        const Scan plain = scan(c.line, c.count);
        EXPECT_EQ(std::memcmp(v, plain.v, sizeof v), 0) << c.line;
    }
}

TEST(RowScan, TakesTheUsualLinesAsTheyAreRead) {
    // Each line alone, checked against the usual way (row_scan_check.h);
    // `taken` is whether the scan must take it or must leave it.
    const struct {
        const char* text;
        int count;
        bool time, taken;
    } cases[] = {
        {"1767312000.05 0.3738 -12 1.25e-3\n", 4, true, true},
        {"1700000000.00\t-0.0012345\r\n", 2, true, true},
        {"0.3738\n", 1, false, true},
        {" \t+3.5E-3 \t\r\n", 1, false, true},
        {"-0\n", 1, false, true},
        {"-0e999 +0.000e-400\n", 2, false, true},
        {"1. .5 -.5 5.e3\n", 4, false, true},
        {"0000000000000000000001.5 1e0000000000000000000005\n", 2, false, true},
        {"1e22 1e23 123456789e-22 1e-5\n", 4, false, true},
        {"9007199254740993 18446744073709551616\n", 2, false, true},
        {"10000 1\n", 2, true, true},
        {"4.9406564584124654e-324 1e308\n", 2, false, true},
        // Lines the usual way reads otherwise, or reads but not as this
        // scan's kind of line: all left to it.
        {"!comment 1\n", 1, false, false},
        {"# 1\n", 1, false, false},
        {"\n", 1, false, false},
        {" \t\r\n", 1, false, false},
        {"time value\n", 2, false, false},
        {"\xEF\xBB\xBF"
         "1.5\n",
         1, false, false},
        {"0x1p3\n", 1, false, false},
        {"inf 1\n", 2, false, false},
        {"1 -nan\n", 2, false, false},
        {"1e\n", 1, false, false},
        {"1e+ 2\n", 2, false, false},
        {"12.5Pa\n", 1, false, false},
        {"0,3738\n", 1, false, false},
        {"1.5.3\n", 2, false, false},
        {"1.5-2\n", 2, false, false},
        {"1e5.25\n", 2, false, false},
        {"1 2 3\n", 2, false, false},
        {"1 2\n", 3, false, false},
        {"1\v2\n", 2, false, false},
        {"1\f\n", 1, false, false},
        {"1\r\r\n", 1, false, false},
        {"1\r 2\n", 2, false, false},
        {"1e-400\n", 1, false, false},
        {"1e400\n", 1, false, false},
        {"9999.99 1\n", 2, true, false},
        {"-1767312000 1\n", 2, true, false},
        {"2026-01-02T00:00:00Z 1\n", 2, true, false},
        {"20260102 1\n", 2, true, true},
        {"1.5", 1, false, false}, // runs into the end of the data
    };
    for (const auto& c : cases) {
        const rowscan::Tally t = rowscan::compare(c.text, c.count, c.time);
        EXPECT_EQ(t.taken, c.taken ? 1 : 0) << rowscan::shown(c.text, std::strlen(c.text));
    }
    // A zero byte ends the line as a string for the usual way (which reads
    // "1" of "1\0 2") but is no part of a line the scan takes.
    EXPECT_EQ(rowscan::compare(std::string("1\0 2\n", 5), 1, false).taken, 0);
}

TEST(RowScan, DigitCountsAndPointsAtEveryPlace) {
    // 1 to 20 digits (8, 15, 16, 17, 19 and 20 among them: the edges of
    // eight-byte steps, of the sixteen-byte window and of an exact
    // mantissa), a point before, between and after them, signs, leading
    // zeros and exponents near and beyond the exact powers of ten: all of
    // them lines the scan takes, with their values as the usual way reads
    // them.
    const char* const signs[] = {"", "-", "+"};
    const char* const exponents[] = {"", "e5", "E-3", "e+22", "e-22", "e23", "e-38", "e0"};
    long lines = 0, taken = 0;
    for (int digits = 1; digits <= 20; ++digits) {
        std::string text;
        for (int at = -1; at <= digits; ++at) {
            for (const char* sign : signs) {
                for (const char* e : exponents) {
                    std::string d = "10000000000000000000";
                    for (int i = 0; i < digits; ++i)
                        d[static_cast<std::size_t>(i)] = "98765432104"[(i * 7 + at + 3) % 11];
                    d.resize(static_cast<std::size_t>(digits));
                    if (at % 3 == 0) d[0] = '0'; // a leading zero
                    if (at >= 0) d.insert(static_cast<std::size_t>(at), ".");
                    text += std::string(sign) + d + e + (at % 2 == 0 ? "\r\n" : "\n");
                }
            }
        }
        const rowscan::Tally t = rowscan::compare(text, 1, false, true);
        lines += t.lines;
        taken += t.taken;
    }
    EXPECT_EQ(taken, lines);
}

TEST(RowScan, LineCutAtTheEndOfTheDataIsLeft) {
    // The line cut before each of its bytes, the rest of it (and more)
    // lying after the zero byte that ends the data: only the whole line is
    // taken, and nothing after the zero byte is.
    const struct {
        std::string line;
        int count;
        bool time;
    } cases[] = {
        {"1767312000.05 0.3738 -12 1.25e-3\n", 4, true},
        {"1700000000.00\t-0.0012345 \r\n", 2, true},
        {"-12345678901234567890.5e-3\n", 1, false},
        {"  .5e+22\n", 1, false},
    };
    for (const auto& c : cases) {
        for (std::size_t cut = 0; cut <= c.line.size(); ++cut) {
            const rowscan::Block block(c.line.substr(0, cut), c.line.substr(cut) + "1 2 3 4\n");
            double v[4];
            EXPECT_EQ(scan_plain_row(block.begin(), v, c.count, c.time),
                      cut == c.line.size() ? block.end() : nullptr)
                << rowscan::shown(c.line.data(), cut) << " cut at " << cut;
        }
    }
}

TEST(DataLine, DelimitedFieldsHoldOneNumberEach) {
    // (Exports and their plain twins are compared end to end; here the
    // edges of delimited fields.)
    using Fault = DataLine::Fault;
    const ReadOptions semi_comma{';', true}, comma{',', false};
    const struct {
        const char* line;
        int count;
        ReadOptions o;
        int n;
        Fault fault;
        bool more;
    } cases[] = {
        {"1767312000;0,25;x\n", 2, semi_comma, 2, Fault::none, true},
        {"1767312000;0,25; ;;\r\n", 2, semi_comma, 2, Fault::none, false},
        {"1767312000,,3\n", 3, comma, 1, Fault::none, false}, // an empty field
        {"1767312000,2\n", 3, comma, 2, Fault::none, false},  // too few fields
        {"1767312000,2 x\n", 2, comma, 2, Fault::glued, false},
        {"2026-002T00:00:00,5Z;1\n", 2, semi_comma, 2, Fault::none, false},
        {"2026-002T00:00:00Z x;1\n", 2, semi_comma, 0, Fault::not_a_time, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        DataLine d;
        LineWork work;
        double v[4] = {0, 0, 0, 0};
        EXPECT_EQ(read_data_line(c.line, v, c.count, true, c.o, d, work), c.n);
        EXPECT_EQ(d.fault, c.fault);
        EXPECT_EQ(d.more, c.more);
    }
    DataLine d;
    LineWork work;
    double v[2] = {};
    read_data_line("2026-002T00:00:00,5Z;1", v, 2, true, semi_comma, d, work);
    EXPECT_EQ(v[0], 1767312000.5);
}

TEST(DataLine, HeadingIsAFirstFieldThatIsNoNumberNorDate) {
    const ReadOptions plain, semi{';', false}, dc{0, true};
    for (const char* line : {"\"t\";\"v\"", "information 1", "+ 1", "- 1"})
        EXPECT_TRUE(is_heading(line, plain)) << line;
    for (const char* line : {"+.5", "Infinity", "NaN(1)", "02.01.2026 1", "12.5Pa"})
        EXPECT_FALSE(is_heading(line, plain)) << line;
    EXPECT_TRUE(is_heading("time value;1", semi));
    // The heading a spreadsheet writes above an unnamed index column.
    EXPECT_TRUE(is_heading(";0;1;2", semi));
    EXPECT_FALSE(is_heading(" 1 x;y", semi));
    EXPECT_FALSE(is_heading(",5 1", dc));
    EXPECT_TRUE(is_heading(",5 1", plain));
}
