// The integrity report, --summary and ISO 8601 input times, seen from the
// command line: each warning's exact line, once, in its place among the
// other lines of standard error; the summary line and where it goes; and
// ISO times converting to the very bytes of their epoch seconds.
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using e2e::VelkorTest;

constexpr long long T0 = 1767312000; // 2026-01-02 00:00:00 UTC

// "S.CC": seconds since the epoch from hundredths.
std::string epoch_text(long long centis) {
    std::string cs = std::to_string(centis % 100);
    return std::to_string(centis / 100) + "." + (cs.size() < 2 ? "0" : "") + cs;
}

// How an ISO 8601 time is written: `sep` between date and time, `zone`
// after it, which is an offset of `offset` minutes from UTC (the time then
// written in that local time) when it begins with a sign; an ordinal date
// (the day of the year) with `ordinal`.
struct IsoForm {
    char sep;
    const char* zone;
    int offset = 0;
    bool ordinal = false;
};

// The same instant as ISO 8601, made with the C library.
std::string iso_text(long long centis, const IsoForm& f) {
    const std::time_t whole = centis / 100 + f.offset * 60;
    std::tm t{};
    gmtime_r(&whole, &t);
    char buf[64];
    std::strftime(buf, sizeof buf, f.ordinal ? "%Y-%j?%H:%M:%S" : "%Y-%m-%d?%H:%M:%S", &t);
    buf[f.ordinal ? 8 : 10] = f.sep;
    const std::string cs = epoch_text(centis);
    return buf + cs.substr(cs.size() - 3) + f.zone;
}

// Times in hundredths of a second: `n` rows 5 apart (20 Hz) from T0, with
// `shifts` (row, hundredths) added to that row and every later one.
std::vector<long long> times_at(int n, const std::vector<std::pair<int, int>>& shifts = {}) {
    std::vector<long long> t;
    long long shift = 0;
    for (int i = 0; i < n; ++i) {
        for (const auto& s : shifts)
            shift += s.first == i ? s.second : 0;
        t.push_back(T0 * 100 + 5 * i + shift);
    }
    return t;
}

using TimeText = std::function<std::string(long long)>;

// A file of `times` and `values` (by default four columns the report does
// not flag), after `comment` unless it is empty.
std::string rows_text(const std::vector<long long>& times, const char* values = " 100 200 300",
                      const std::string& comment = "!c", const TimeText& text = epoch_text) {
    std::string s = comment.empty() ? "" : comment + "\n";
    for (long long t : times)
        s += text(t) + values + "\n";
    return s;
}

const std::string FILLING = "Warning: length of file not multiple of 512\nFilling with zeroes\n";

using DataReport = VelkorTest;

TEST_F(DataReport, EachWarningOnceInItsPlaceAmongTheOtherLines) {
    // Row 55 repeats row 54's time, row 300 goes back 0.2 s, before row 999
    // (line 1001, after the comment) 12.5 s are missing, before row 1100
    // one second.
    write("in.txt", rows_text(times_at(1200, {{55, -5}, {300, -25}, {999, 1245}, {1100, 100}})));
    // Channel 1 lacks rows 98 to 108: from its line 100 on it is 0.55 s
    // ahead of the other channels, which hold 11 rows more.
    std::vector<long long> cut = times_at(600);
    cut.erase(cut.begin() + 98, cut.begin() + 109);
    write("full.txt", rows_text(times_at(600), " 100"));
    write("cut.txt", rows_text(cut, " 100"));
    // The time file runs on to row 10 (a blank line and a comment after it
    // are no rows); v3 ends after 4.
    std::string t = "!times\n", v = "!c\n", v3 = "!c\n";
    for (int i = 1; i <= 10; ++i) {
        t += std::to_string(i) + "\n";
        v += std::to_string(100 * i) + "\n";
        if (i <= 4) v3 += std::to_string(100 * i) + "\n";
    }
    write("t", t + "\n!end\n");
    write("v", v);
    write("v3", v3);
    write("empty", "");
    write("b", "!c\n1 100\n2 100\n3 100\n");
    write("c", "!c\n!d\n");
    write("days.txt", "!c\n1767312000 100 200 300\n1767340000 1 2 3\n1767400000.5 1 2 3\n");
    write("day.txt", "!c\n1767312000 100 200 300\n1767398400 1 2 3\n");
    write("v.txt", "!c\n1 0.5 nan 100\n2 0.2 1 100\n3 3 nan 100\n4 -0.1 2 1e6\n");
    std::string same;
    for (int i = 0; i < 12; ++i)
        same += "5 1 2 3\n";
    write("same", same);
    write("back", "10 1 2 3\n9 1 2 3\n8 1 2 3\n");
    write("one", "7 1 2 3\n");
    write("one_c", "!c\n7 1 2 3\n");

    const std::string behind_lines =
        "Warning: 1 gap in cut.txt, 0.6 s long before line 100 (2026-01-02 00:00:05.45 UTC)\n";
    const std::string cut_ends = "Warning: cut.txt ends after 589 rows; the last 11 rows of the "
                                 "other channels are not converted\n";
    const std::string nans =
        "Warning: 2 values of channel 2 are not numbers (nan) and are stored as 0\n";
    const std::string clip = "Warning: scale out of range. 1 values cliped.\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-4", "in.txt", "gaps.avq"},
         "Warning: 2 gaps in in.txt, the first 12.5 s long before line 1001 (2026-01-02 "
         "00:01:02.10 UTC)\n"
         "Warning: time does not increase at 2 lines of in.txt, the first at line 57 (2026-01-02 "
         "00:00:02.70 UTC)\n" +
             FILLING},
        {{"cut.txt", "full.txt", "full.txt", "out.avq"},
         cut_ends + behind_lines +
             "Warning: channel 2 (full.txt) is 0.55 s behind channel 1 at 491 rows, the first at "
             "line 100\n"
             "Warning: channel 3 (full.txt) is 0.55 s behind channel 1 at 491 rows, the first at "
             "line 100\n" +
             FILLING},
        // The other way round: channel 2 ahead, which the reading's own
        // line reports first. The row that channel 1 had read when channel 2
        // ended counts among the rows left.
        {{"full.txt", "cut.txt", "full.txt", "out.avq"},
         "time difference between ch2 and ch1\n" + cut_ends + behind_lines +
             "Warning: channel 2 (cut.txt) is 0.55 s ahead of channel 1 at 491 rows, the first at "
             "line 100\n" +
             FILLING},
        // The row being read when v3 ended had taken a line of each other file.
        {{"-t", "t", "v", "v", "v3", "out.avq"},
         "Warning: v3 ends after 4 rows; the last 6 rows of the other channels are not "
         "converted\n" +
             FILLING},
        // An empty channel-1 file: no rows, and the rows of the others lost.
        // (Reading stops before the other files' comments are met.)
        {{"empty", "b", "b", "out.avq"},
         "Warning: no comments in file empty\nWarning: no comments in file b\n"
         "Warning: no comments in file b\nBest guess at samplingfrequency is 0\n"
         "Warning: no data rows in empty\n"
         "Warning: empty ends after 0 rows; the last 3 rows of the other channels are not "
         "converted\n"},
        // A file of comments only: no rows, and nothing else to say.
        {{"-4", "c", "out.avq"}, "Warning: no data rows in c\n"},
        {{"-4", "days.txt", "out.avq"},
         "Warning: the data span more than one day (from 2026-01-02 00:00:00.00 to 2026-01-03 "
         "00:26:40.50 UTC); binary block times hold the minute of the day only: use --unixtime "
         "to keep the date\n" +
             FILLING},
        // Block times that keep the date, and exactly one day, say nothing.
        {{"--unixtime", "-4", "days.txt", "out.avq"}, FILLING},
        {{"--ascii", "-4", "days.txt", "out.avq"}, FILLING},
        {{"-4", "day.txt", "out.avq"}, FILLING},
        {{"-4", "v.txt", "out.avq"},
         "Warning: 3 of 4 values of channel 1 are stored as 0 because |value x scale| < 1; use -s "
         "to scale them up or --ascii to keep them\n" +
             nans + FILLING + clip},
        // Scaled up, 0.1 x 10 is 1 and is kept; the ASCII form keeps everything.
        {{"-4", "-s", "10", "v.txt", "out.avq"}, nans + FILLING + clip},
        {{"-4", "--ascii", "v.txt", "out.txt"}, FILLING},
        // Sampling frequency estimates that are no frequency.
        {{"-4", "same", "out.avq"},
         "Warning: no comments in file same\nBest guess at samplingfrequency is inf\n"
         "Warning: sampling frequency estimate inf is not a positive finite number: the times at "
         "lines 1 and 11 of same are equal (1970-01-01 00:00:05.00 UTC)\n"
         "Warning: time does not increase at 11 lines of same, the first at line 2 (1970-01-01 "
         "00:00:05.00 UTC)\n" +
             FILLING},
        {{"-4", "back", "out.avq"},
         "Warning: no comments in file back\nBest guess at samplingfrequency is -1\n"
         "Warning: sampling frequency estimate -1 is not a positive finite number: the time at "
         "line 3 of back (1970-01-01 00:00:08.00 UTC) is before the one at line 1 (1970-01-01 "
         "00:00:10.00 UTC)\n"
         "Warning: time does not increase at 2 lines of back, the first at line 2 (1970-01-01 "
         "00:00:09.00 UTC)\n" +
             FILLING},
        {{"-4", "one", "out.avq"},
         "Warning: no comments in file one\nBest guess at samplingfrequency is 0\n"
         "Warning: sampling frequency estimate 0 is not a positive finite number: one has one "
         "data row only (line 1)\n" +
             FILLING},
        // A header from a comment holds no estimate to warn about.
        {{"-4", "one_c", "out.avq"}, FILLING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const auto r = velkor(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
    }
    // Every row is converted all the same: three blocks.
    EXPECT_EQ(read("gaps.avq").size(), 3u + 3 * 3084);
}

TEST_F(DataReport, StrictLeavesNoOutputForAGroupWithWarningsAboutItsData) {
    // Rows 300 on one second late: a gap before line 302.
    write("gap.txt", rows_text(times_at(600, {{300, 100}})));
    write("clean.txt", rows_text(times_at(600)));
    write("five.txt", rows_text(times_at(600), " 100 200 300 400"));
    write("named.txt", "!c\ntime a b c\n" + rows_text(times_at(600), " 100 200 300", ""));
    write("loud.txt", rows_text(times_at(600), " 1 2 40"));
    write("bare.txt", rows_text(times_at(600), " 100 200 300", ""));
    write("a.txt", rows_text(times_at(600), " 100", "!A"));
    write("b.txt", rows_text(times_at(600), " 100", "!B"));
    write("out.avq", "!previous\n");
    const std::string gap =
        "Warning: 1 gap in gap.txt, 1.05 s long before line 302 (2026-01-02 00:00:16.00 UTC)\n";
    const std::string refused =
        "Error: --strict: no output written to out.avq because of the warnings above\n";
    const std::string clipped = "Warning: scale out of range. 512 values cliped.\nWarning: scale "
                                "out of range. 88 values cliped.\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
        int status;
    } cases[] = {
        {{"-4", "gap.txt", "out.avq"}, gap + FILLING + refused, 1},
        {{"--ascii", "-4", "gap.txt", "out.avq"}, gap + FILLING + refused, 1},
        {{"-4", "five.txt", "out.avq"},
         "Warning: five.txt has more columns than the -4 layout reads; only the first 4 of each "
         "line are read\n  line 2: 1767312000.00 100 200 300 400\n" +
             FILLING + refused,
         1},
        {{"-4", "named.txt", "out.avq"},
         "Warning: named.txt: line 2 taken for a heading and skipped\n  line 2: time a b c\n" +
             FILLING + refused,
         1},
        // Clipping counts; the clipping lines come all the same, or with -q
        // their one line.
        {{"-s", "1000", "-4", "loud.txt", "out.avq"}, FILLING + clipped + refused, 1},
        {{"-q", "-s", "1000", "-4", "loud.txt", "out.avq"},
         "Warning: length of file not multiple of 512\nWarning: scale out of range in 2 blocks; "
         "600 values clipped\n" +
             refused,
         1},
        // Notices about comments and the length of the file do not.
        {{"-4", "bare.txt", "out.avq"},
         "Warning: no comments in file bare.txt\nBest guess at samplingfrequency is 20\n" + FILLING,
         0},
        {{"-2", "a.txt", "b.txt", "a.txt", "out.avq"},
         "Warning: comments disagree:\n!A\n!B\n!A\n" + FILLING,
         0},
        // The groups before the refused one stay written; none after it runs.
        {{"-4", "clean.txt", "first.avq", "gap.txt", "out.avq", "clean.txt", "third.avq"},
         FILLING + gap + FILLING + refused,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--strict");
        const auto r = velkor(args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(read("out.avq") == "!previous\n", c.status != 0);
        write("out.avq", "!previous\n");
    }
    EXPECT_TRUE(exists("first.avq"));
    EXPECT_FALSE(exists("third.avq"));
    EXPECT_EQ(testfiles::list_dir(dir()),
              (std::vector<std::string>{"a.txt", "b.txt", "bare.txt", "clean.txt", "first.avq",
                                        "five.txt", "gap.txt", "logfile", "loud.txt", "named.txt",
                                        "out.avq"}));
    // Standard output never receives a part of a refused group, nor does an
    // output written from standard input.
    auto r = shell("exec \"$0\" --strict -4 gap.txt - > got.avq");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read("got.avq"), "");
    r = shell("exec \"$0\" --strict -4 - out.avq < gap.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Warning: 1 gap in -, 1.05 s long before line 302 (2026-01-02 00:00:16.00 "
                     "UTC)\n" +
                         FILLING + refused);
    EXPECT_EQ(read("out.avq"), "!previous\n");
}

TEST_F(DataReport, SummaryLinePerGroupAndTheOptionsItSharesAPrefixWith) {
    write("in.txt", rows_text(times_at(1000)));
    auto summary_of = [](const std::string& out) {
        return "summary: " + out +
               ": 1000 rows read, 2 blocks written, 24 rows added by zero "
               "fill, 0 values clipped, 2026-01-02 00:00:00.00 to 2026-01-02 00:00:49.95 UTC, "
               "typical interval 0.05 s\n";
    };
    // "--su" is unique; each group's line follows its output.
    auto r = velkor({"--su", "-4", "in.txt", "a.avq", "in.txt", "b.avq"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "option summary\nin.txt->a.avq\n" + summary_of("a.avq") + "in.txt->b.avq\n" +
                         summary_of("b.avq"));
    EXPECT_EQ(r.err, FILLING + FILLING);
    // With the AVQ file on standard output, on standard error after the
    // group's warnings.
    r = velkor({"--summary", "--ascii", "--truncate", "-4", "in.txt", "-"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "option summary\noption ascii\noption truncate\nin.txt->-\n"
                     "Warning: length of file not multiple of 512\n"
                     "summary: -: 1000 rows read, 1 blocks written, 488 rows dropped by "
                     "truncation, 0 values clipped, 2026-01-02 00:00:00.00 to 2026-01-02 "
                     "00:00:49.95 UTC, typical interval 0.05 s\n");
    EXPECT_EQ(r.out.substr(0, 3), "!c\n");
    // Mirror fill, and a group without rows.
    write("none.txt", "!c\n");
    r = velkor({"--summary", "--mirror", "-4", "in.txt", "d.avq", "none.txt", "e.avq"});
    EXPECT_EQ(r.out.substr(r.out.find("summary: d.avq"), 78),
              "summary: d.avq: 1000 rows read, 2 blocks written, 24 rows added by mirror fill");
    EXPECT_EQ(r.out.substr(r.out.find("summary: e.avq")),
              "summary: e.avq: 0 rows read, 0 blocks written, 0 rows added by mirror fill, 0 "
              "values clipped, no times, typical interval unknown\n");
    // "--sc" and "--se" still select --scale and --seconds; "--s" is
    // ambiguous as before.
    r = velkor({"--sc", "2", "--se", "-4", "in.txt", "c.avq"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "option seconds\nin.txt->c.avq\n");
    r = velkor({"--s", "-4", "in.txt", "c.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("option '--s' is ambiguous"), std::string::npos) << r.err;
}

TEST_F(DataReport, IsoTimesGiveTheBytesOfTheirEpochSeconds) {
    // Two minutes of rows at 20 Hz across midnight, so the date changes.
    const std::vector<long long> times = times_at(2400, {{0, 8640000 - 6000}});
    write("epoch.txt", rows_text(times, " 100 200 300", ""));
    const auto iso = [](const IsoForm& f) -> TimeText {
        return [=](long long t) { return iso_text(t, f); };
    };
    // The forms common libraries and data centres write: lower-case
    // letters, offsets from UTC, ordinal dates.
    const IsoForm forms[] = {{'T', "Z"},
                             {'T', ""},
                             {' ', ""},
                             {' ', "Z"},
                             {'t', "z"},
                             {'T', "+01:00", 60},
                             {' ', "-0530", -330},
                             {'T', "+02", 120},
                             {'T', "Z", 0, true},
                             {' ', "-03:00", -180, true}};
    for (const char* form : {"--binary", "--ascii"}) {
        ASSERT_EQ(velkor({"-4", form, "epoch.txt", "epoch.out"}).status, 0);
        const std::string want = read("epoch.out");
        for (const IsoForm& f : forms) {
            write("iso.txt", rows_text(times, " 100 200 300", "", iso(f)));
            const auto r = velkor({"-4", form, "iso.txt", "iso.out"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(read("iso.out") == want) << form << " " << iso_text(times[0], f) << "\n"
                                                 << r.err;
        }
    }
    // A time file and two-column files; --minutes leaves ISO times alone.
    const std::vector<long long> half_minute = times_at(600);
    write("t.txt", rows_text(half_minute, "", "!t", iso({'T', "Z"})));
    write("v.txt", rows_text(half_minute, "100", "!c", [](long long) { return std::string(); }));
    write("two.txt", rows_text(half_minute, " 100", "!c", iso({' ', ""})));
    write("num.txt", rows_text(half_minute, " 100"));
    ASSERT_EQ(velkor({"num.txt", "num.txt", "num.txt", "want.avq"}).status, 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-t", "t.txt", "v.txt", "v.txt", "v.txt", "got.avq"},
          {"--minutes", "two.txt", "two.txt", "two.txt", "got.avq"}}) {
        const auto r = velkor(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(read("got.avq") == read("want.avq")) << args[0];
    }
}

TEST_F(DataReport, InvalidIsoTimeIsNoTimeVelkorReads) {
    write("out.avq", "!previous\n");
    write("bad4.txt", "2026-02-28T23:59:59 1 2 3\n2026-02-29T00:00:00 1 2 3\n");
    auto r = velkor({"-4", "bad4.txt", "out.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: bad4.txt: \"2026-02-29T00:00:00\" is not a time velkor reads (seconds "
                     "since 1970, or ISO 8601 such as 2026-01-02T00:00:00.05Z)\n  line 2: "
                     "2026-02-29T00:00:00 1 2 3\n");
    write("t.txt", "2026-01-02T00:00:00+1\n");
    write("v.txt", "1\n");
    r = velkor({"-t", "t.txt", "v.txt", "v.txt", "v.txt", "out.avq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: t.txt: \"2026-01-02T00:00:00+1\" is not a time velkor reads (seconds "
                     "since 1970, or ISO 8601 such as 2026-01-02T00:00:00.05Z)\n  line 1: "
                     "2026-01-02T00:00:00+1\n");
    EXPECT_EQ(read("out.avq"), "!previous\n");
}

} // namespace
