// Header comment: cleaning and choosing the channel comments, the built line
// (estimated sampling frequency, UTC start time) and its time handling.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "conversion_test.h"
#include "velkor.h"

namespace {

class Header : public ConversionTest {
  protected:
    // Rows whose channel-1 times are t0, t0 + dt, ...
    static std::vector<samp_> rows(std::size_t n, double t0, double dt) {
        std::vector<samp_> s(n);
        for (std::size_t i = 0; i < n; ++i) {
            for (auto& c : s[i].ch)
                c.time = t0 + dt * static_cast<double>(i);
        }
        return s;
    }
    // construct_comment's result and what it wrote on standard error.
    static std::pair<std::string, std::string> built(const std::vector<samp_>& s) {
        ::testing::internal::CaptureStderr();
        std::string line = construct_comment(s);
        return {line, ::testing::internal::GetCapturedStderr()};
    }
    // The settled header and the warnings, for the given channel comments.
    static std::pair<std::string, std::string>
    settle(int mode, const std::string& c1, const std::string& c2, const std::string& c3) {
        cline[1] = c1;
        cline[2] = c2;
        cline[3] = c3;
        ::testing::internal::CaptureStderr();
        if (mode == MODE_4_COLUMN) {
            settle_comment(mode, "all.txt", nullptr, nullptr);
        } else {
            settle_comment(mode, "a.txt", "b.txt", "c.txt");
        }
        return {cline[1], ::testing::internal::GetCapturedStderr()};
    }
};

using HeaderDeathTest = Header;

TEST_F(Header, CheckCommentWarnsOnEmptyAndStripsLineEnds) {
    std::string empty;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(check_comment("x.txt", empty));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Warning: no comments in file x.txt\n");

    std::string c = "!a\rb\nc\r\n";
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(check_comment("x.txt", c));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(c, "!abc");

    // Emptiness is tested before the line ends are removed.
    std::string only_ends = "\r\n";
    EXPECT_TRUE(check_comment("x.txt", only_ends));
    EXPECT_EQ(only_ends, "");
}

TEST_F(Header, WorkedExampleBuiltLine) {
    // Ten intervals of 0.3 s from 1262347509.75 s (2010-01-01 12:05:09.75).
    auto [line, err] = built(rows(12, 1262347509.75, 0.3));
    EXPECT_EQ(err, "Best guess at samplingfrequency is 3.33333\n");
    EXPECT_EQ(line, "!S512Tidserier sampfrek: 3.33333 gain: 1 station: x date: 2010-01-01 "
                    "time: 12:05:09");

    normaltime = 0;
    EXPECT_EQ(built(rows(12, 1262347509.75, 0.3)).first,
              "!U512Tidserier sampfrek: 3.33333 gain: 1 station: x date: 2010-01-01 "
              "time: 12:05:09");
}

TEST_F(Header, EstimateUsesRowsZeroAndTenOfChannelOne) {
    auto s = rows(20, 1000.0, 0.05);
    s[11].ch[0].time = 5000.0; // beyond row 10: not used
    s[5].ch[1].time = -7.0;    // other channels: not used
    EXPECT_EQ(built(s).second, "Best guess at samplingfrequency is 20\n");

    // Equal times: an infinite estimate, written as printf writes it.
    auto [line, err] = built(rows(11, 60.0, 0.0));
    EXPECT_EQ(err, "Best guess at samplingfrequency is inf\n");
    EXPECT_EQ(line, "!S512Tidserier sampfrek: inf gain: 1 station: x date: 1970-01-01 "
                    "time: 00:01:00");
    // Falling times: negative, with its sign; large values in exponent form.
    EXPECT_EQ(built(rows(11, 100.0, -0.5)).second, "Best guess at samplingfrequency is -2\n");
    EXPECT_EQ(built(rows(11, 0.0, 1e-7)).second, "Best guess at samplingfrequency is 1e+07\n");
}

TEST_F(Header, FewerThanElevenRowsUseTheRowsThatExist) {
    // n rows: (n - 1) intervals over t[n-1] - t[0].
    EXPECT_EQ(built(rows(5, 10.0, 0.25)).second, "Best guess at samplingfrequency is 4\n");
    EXPECT_EQ(built(rows(2, 10.0, 0.5)).second, "Best guess at samplingfrequency is 2\n");
    // One row: no interval, estimate 0; the start time is still row 0's.
    auto [one, err1] = built(rows(1, 86400.0 + 3661.0, 0.0));
    EXPECT_EQ(err1, "Best guess at samplingfrequency is 0\n");
    EXPECT_EQ(one, "!S512Tidserier sampfrek: 0 gain: 1 station: x date: 1970-01-02 "
                   "time: 01:01:01");
    // No rows: estimate 0, start at the epoch.
    auto [none, err0] = built({});
    EXPECT_EQ(err0, "Best guess at samplingfrequency is 0\n");
    EXPECT_EQ(none, "!S512Tidserier sampfrek: 0 gain: 1 station: x date: 1970-01-01 "
                    "time: 00:00:00");
}

TEST_F(Header, StartTimeIsTruncatedTowardZero) {
    EXPECT_EQ(built(rows(1, -1.5, 0)).first,
              "!S512Tidserier sampfrek: 0 gain: 1 station: x date: 1969-12-31 time: 23:59:59");
    EXPECT_EQ(built(rows(1, 1262347509.999, 0)).first,
              "!S512Tidserier sampfrek: 0 gain: 1 station: x date: 2010-01-01 time: 12:05:09");
    // Year written in full beyond four digits.
    EXPECT_EQ(built(rows(1, 253402300800.0, 0)).first,
              "!S512Tidserier sampfrek: 0 gain: 1 station: x date: 10000-01-01 time: 00:00:00");
}

TEST_F(HeaderDeathTest, StartTimeWithoutCalendarDateIsRefused) {
    for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity(), 1e300, -1e18}) {
        const auto s = rows(11, bad, 0.0);
        EXPECT_EXIT(construct_comment(s), ::testing::ExitedWithCode(1), "is not a valid UTC date");
    }
}

TEST_F(Header, SameCommentEverywhereIsTheHeaderWithoutWarning) {
    auto [h, err] = settle(MODE_2_COLUMN, "!A", "!A", "!A");
    EXPECT_EQ(h, "!A");
    EXPECT_EQ(err, "");
}

TEST_F(Header, DisagreeingCommentsAreListedAndChannelOneWins) {
    auto [h, err] = settle(MODE_2_COLUMN, "!A", "!B", "!A");
    EXPECT_EQ(h, "!A");
    EXPECT_EQ(err, "Warning: comments disagree:\n!A\n!B\n!A\n");
    // Differing only in length counts as different.
    EXPECT_EQ(settle(MODE_2_COLUMN, "!A", "!A", "!A ").second,
              "Warning: comments disagree:\n!A\n!A\n!A \n");
}

TEST_F(Header, FirstChannelWithACommentSuppliesTheHeader) {
    auto [h, err] = settle(MODE_2_COLUMN, "", "!B", "!C");
    EXPECT_EQ(h, "!B");
    EXPECT_EQ(err, "Warning: no comments in file a.txt\n");
    EXPECT_EQ(cline[2], "!B");
    EXPECT_EQ(cline[3], "!C");

    auto [h3, err3] = settle(MODE_2_COLUMN, "", "", "!C");
    EXPECT_EQ(h3, "!C");
    EXPECT_EQ(err3, "Warning: no comments in file a.txt\nWarning: no comments in file b.txt\n");

    // A lone "!" is a comment like any other.
    EXPECT_EQ(settle(MODE_2_COLUMN, "!", "", "").first, "!");
}

TEST_F(Header, NoCommentsWarnInChannelOrderThenBuild) {
    samples = rows(11, 1262347509.75, 0.3);
    auto [h, err] = settle(MODE_1_COLUMN, "", "", "");
    EXPECT_EQ(err, "Warning: no comments in file a.txt\nWarning: no comments in file b.txt\n"
                   "Warning: no comments in file c.txt\n"
                   "Best guess at samplingfrequency is 3.33333\n");
    EXPECT_EQ(h, "!S512Tidserier sampfrek: 3.33333 gain: 1 station: x date: 2010-01-01 "
                 "time: 12:05:09");
}

TEST_F(Header, TimeFileCommentTakesNoPart) {
    samples = rows(11, 0.0, 0.1);
    cline[0] = "!time file";
    auto [h, err] = settle(MODE_1_COLUMN, "", "", "");
    EXPECT_EQ(h.rfind("!S512Tidserier sampfrek: 10 ", 0), 0u) << h;
    EXPECT_EQ(err.find("time file"), std::string::npos);
}

TEST_F(Header, FourColumnFileWarnsOnceAndCopiesItsComment) {
    samples = rows(11, 0.0, 0.1);
    auto [h, err] = settle(MODE_4_COLUMN, "", "", "");
    EXPECT_EQ(err, "Warning: no comments in file all.txt\n"
                   "Best guess at samplingfrequency is 10\n");
    EXPECT_EQ(h.rfind("!S512Tidserier", 0), 0u);

    auto [hc, errc] = settle(MODE_4_COLUMN, "!four", "", "");
    EXPECT_EQ(hc, "!four");
    EXPECT_EQ(errc, "");
    EXPECT_EQ(cline[2], "!four");
    EXPECT_EQ(cline[3], "!four");
}

} // namespace
