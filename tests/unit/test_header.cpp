// Header comment: cleaning and choosing the channel comments, the built line
// (estimated sampling frequency, UTC start time) and its time handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "blocks.h"

namespace {

class Header : public ::testing::Test {
  protected:
    // Channel-1 times of n rows: t0, t0 + dt, ...
    static std::vector<double> rows(std::size_t n, double t0, double dt) {
        std::vector<double> t(n);
        for (std::size_t i = 0; i < n; ++i)
            t[i] = t0 + dt * static_cast<double>(i);
        return t;
    }
    // The header built from the rows with times `t` (one four-column file
    // without a comment) and what it wrote on standard error after the
    // file's warning; the failure instead of the header when it fails.
    std::pair<std::string, std::string> built(const std::vector<double>& t) const {
        Settings s = settings_;
        s.layout = &FOUR_COLUMN;
        GroupNames names;
        names.input[1] = "all.txt";
        double head[HEAD_ROWS] = {};
        std::copy(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(std::min(t.size(), HEAD_ROWS)),
                  head);
        SettledHeader h;
        ::testing::internal::CaptureStderr();
        const Status st = settle_header(s, names, Comments{}, head, t.size(), h);
        std::string err = ::testing::internal::GetCapturedStderr();
        const std::string warning = "Warning: no comments in file all.txt\n";
        EXPECT_EQ(err.substr(0, warning.size()), warning);
        EXPECT_TRUE(st || h.built);
        return {st ? st->message : h.line, err.substr(warning.size())};
    }
    // The settled header and the warnings, for the given channel comments;
    // the rows' times as rows(11, t0, dt).
    std::pair<std::string, std::string> settle(const Layout& layout, const std::string& c1,
                                               const std::string& c2, const std::string& c3,
                                               double t0 = 0, double dt = 0.1,
                                               const std::string& c0 = "") const {
        Settings s = settings_;
        s.layout = &layout;
        GroupNames names;
        names.input[0] = "t.txt";
        names.input[1] = layout.one_file() ? "all.txt" : "a.txt";
        if (!layout.one_file()) {
            names.input[2] = "b.txt";
            names.input[3] = "c.txt";
        }
        const Comments c{{c0, c1, c2, c3}};
        const std::vector<double> t = rows(11, t0, dt);
        SettledHeader h;
        ::testing::internal::CaptureStderr();
        const Status st = settle_header(s, names, c, t.data(), t.size(), h);
        EXPECT_FALSE(st);
        return {h.line, ::testing::internal::GetCapturedStderr()};
    }

    Settings settings_;
};

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

    settings_.normaltime = false;
    EXPECT_EQ(built(rows(12, 1262347509.75, 0.3)).first,
              "!U512Tidserier sampfrek: 3.33333 gain: 1 station: x date: 2010-01-01 "
              "time: 12:05:09");
}

TEST_F(Header, EstimateUsesRowsZeroAndTenOfChannelOne) {
    auto s = rows(20, 1000.0, 0.05);
    s[11] = 5000.0; // beyond row 10: not used
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

TEST_F(Header, StartTimeWithoutCalendarDateIsRefused) {
    for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity(), 1e300, -1e18}) {
        char want[128];
        std::snprintf(want, sizeof want,
                      "Error: the time of the first row, %.17g, is not a valid UTC date\n", bad);
        EXPECT_EQ(built(rows(11, bad, 0.0)).first, want);
    }
}

TEST_F(Header, SameCommentEverywhereIsTheHeaderWithoutWarning) {
    auto [h, err] = settle(TWO_COLUMN, "!A", "!A", "!A");
    EXPECT_EQ(h, "!A");
    EXPECT_EQ(err, "");
}

TEST_F(Header, DisagreeingCommentsAreListedAndChannelOneWins) {
    auto [h, err] = settle(TWO_COLUMN, "!A", "!B", "!A");
    EXPECT_EQ(h, "!A");
    EXPECT_EQ(err, "Warning: comments disagree:\n!A\n!B\n!A\n");
    // Differing only in length counts as different.
    EXPECT_EQ(settle(TWO_COLUMN, "!A", "!A", "!A ").second,
              "Warning: comments disagree:\n!A\n!A\n!A \n");
}

TEST_F(Header, FirstChannelWithACommentSuppliesTheHeader) {
    auto [h, err] = settle(TWO_COLUMN, "", "!B", "!C");
    EXPECT_EQ(h, "!B");
    EXPECT_EQ(err, "Warning: no comments in file a.txt\n");

    auto [h3, err3] = settle(TWO_COLUMN, "", "", "!C");
    EXPECT_EQ(h3, "!C");
    EXPECT_EQ(err3, "Warning: no comments in file a.txt\nWarning: no comments in file b.txt\n");

    // A lone "!" is a comment like any other.
    EXPECT_EQ(settle(TWO_COLUMN, "!", "", "").first, "!");
}

TEST_F(Header, NoCommentsWarnInChannelOrderThenBuild) {
    auto [h, err] = settle(ONE_COLUMN, "", "", "", 1262347509.75, 0.3);
    EXPECT_EQ(err, "Warning: no comments in file a.txt\nWarning: no comments in file b.txt\n"
                   "Warning: no comments in file c.txt\n"
                   "Best guess at samplingfrequency is 3.33333\n");
    EXPECT_EQ(h, "!S512Tidserier sampfrek: 3.33333 gain: 1 station: x date: 2010-01-01 "
                 "time: 12:05:09");
}

TEST_F(Header, TimeFileCommentTakesNoPart) {
    auto [h, err] = settle(ONE_COLUMN, "", "", "", 0.0, 0.1, "!time file");
    EXPECT_EQ(h.rfind("!S512Tidserier sampfrek: 10 ", 0), 0u) << h;
    EXPECT_EQ(err.find("time file"), std::string::npos);
}

TEST_F(Header, FourColumnFileWarnsOnceAndCopiesItsComment) {
    auto [h, err] = settle(FOUR_COLUMN, "", "", "");
    EXPECT_EQ(err, "Warning: no comments in file all.txt\n"
                   "Best guess at samplingfrequency is 10\n");
    EXPECT_EQ(h.rfind("!S512Tidserier", 0), 0u);

    auto [hc, errc] = settle(FOUR_COLUMN, "!four", "", "");
    EXPECT_EQ(hc, "!four");
    EXPECT_EQ(errc, "");
}

} // namespace
