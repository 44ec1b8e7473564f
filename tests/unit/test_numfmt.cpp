// Number formatting of the ASCII form: the cases people read in the files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include <avq/writer.h>

namespace {

using avq::format_f0;
using avq::format_g14;
using avq::FORMAT_MAX;

std::string g14(double v) {
    char b[FORMAT_MAX];
    return std::string(b, format_g14(b, v));
}

std::string f0(double v) {
    char b[FORMAT_MAX];
    return std::string(b, format_f0(b, v));
}

} // namespace

TEST(NumFmt, GeneralFourteenDigits) {
    EXPECT_EQ(g14(1.0 / 3), "0.33333333333333");
    EXPECT_EQ(g14(-2.5), "-2.5");
    EXPECT_EQ(g14(100.0), "100");
    EXPECT_EQ(g14(123456789012345678.0), "1.2345678901235e+17");
    EXPECT_EQ(g14(0.00001), "1e-05");
    EXPECT_EQ(g14(0.0001), "0.0001");
    EXPECT_EQ(g14(1700000012.123456), "1700000012.1235");
    EXPECT_EQ(g14(32.25), "32.25");
    EXPECT_EQ(g14(1e14), "1e+14");
    EXPECT_EQ(g14(99999999999999.0), "99999999999999");
    EXPECT_EQ(g14(999999999999995.0), "1e+15"); // rounds up into the next decade
    EXPECT_EQ(g14(100000000000005.0), "1e+14"); // exact tie: to even
    EXPECT_EQ(g14(100000000000015.0), "1.0000000000002e+14");
    EXPECT_EQ(g14(1e-300), "1e-300");
    EXPECT_EQ(g14(4.9406564584124654e-324), "4.9406564584125e-324");
    // Zeroes inside the fourteen digits stay, only trailing ones go.
    EXPECT_EQ(g14(1234567.0000003), "1234567.0000003");
    EXPECT_EQ(g14(1.0000000000001), "1.0000000000001");
    EXPECT_EQ(g14(-100000.00000001), "-100000.00000001");
    EXPECT_EQ(g14(1.5e-7), "1.5e-07");
    EXPECT_EQ(g14(0.000123), "0.000123");
    EXPECT_EQ(g14(0.0), "0");
    EXPECT_EQ(g14(-0.0), "-0");
    // Every layout at its longest, and the ends of the layouts and of the
    // common range 1e-8 .. 1e15.
    EXPECT_EQ(g14(0.00012345678901234), "0.00012345678901234"); // 19 characters
    EXPECT_EQ(g14(-0.00012345678901234567), "-0.00012345678901235");
    EXPECT_EQ(g14(1234567890123.45), "1234567890123.4"); // the double is below .45
    EXPECT_EQ(g14(12345678901234.0), "12345678901234");
    EXPECT_EQ(g14(1e13), "10000000000000");
    EXPECT_EQ(g14(-98765.4321), "-98765.4321");
    EXPECT_EQ(g14(99999.999999999999), "100000");
    EXPECT_EQ(g14(1.00000000000005), "1"); // the double is below the half
    EXPECT_EQ(g14(0.00010000000000005), "0.00010000000000005");
    EXPECT_EQ(g14(9.99999999999999e-5), "0.0001"); // rounds up into fixed notation
    EXPECT_EQ(g14(0.000099999999999995), "9.9999999999995e-05");
    EXPECT_EQ(g14(4.4e-6), "4.4e-06");
    EXPECT_EQ(g14(1e-8), "1e-08");
    EXPECT_EQ(g14(9.9999999999999e-9), "9.9999999999999e-09");
    EXPECT_EQ(g14(99999999999999.5), "1e+14");                // exact tie, up to even
    EXPECT_EQ(g14(123456789012345.0), "1.2345678901234e+14"); // exact tie, down to even
    EXPECT_EQ(g14(-2e14), "-2e+14");
    EXPECT_EQ(g14(999999999999999.0), "1e+15");
}

TEST(NumFmt, FixedWithoutDecimals) {
    EXPECT_EQ(f0(28333333.0), "28333333");
    EXPECT_EQ(f0(0.5), "0"); // exact ties go to even
    EXPECT_EQ(f0(1.5), "2");
    EXPECT_EQ(f0(2.5), "2");
    EXPECT_EQ(f0(-0.4), "-0");
    EXPECT_EQ(f0(-0.0), "-0");
    EXPECT_EQ(f0(1e20), "100000000000000000000");
    char b[FORMAT_MAX];
    const std::string max = std::string(b, format_f0(b, std::numeric_limits<double>::max()));
    EXPECT_EQ(max.size(), 309u);
    EXPECT_EQ(max.substr(0, 10), "1797693134");
}

TEST(NumFmt, InfinityAndNanAsPrintfSpellsThem) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (auto* f : {&g14, &f0}) {
        EXPECT_EQ(f(inf), "inf");
        EXPECT_EQ(f(-inf), "-inf");
        EXPECT_EQ(f(nan), "nan");
        EXPECT_EQ(f(-nan), "-nan");
        EXPECT_EQ(f(std::copysign(std::numeric_limits<double>::signaling_NaN(), -1.0)), "-nan");
    }
}
