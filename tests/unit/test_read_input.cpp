// Input reading: rows, comment capture, long lines, end of input, errors and
// the line they show, AVQ files refused as inputs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <avq/avq.h>

#include "../test_files.h"
#include "display_line.h"
#include "inputs.h"
#include "row_reader.h"
#include "strformat.h"

namespace {

// One row as read: channel 1's time (every channel's in three two-column
// files) and the three values.
struct Row {
    double time[CHANNELS];
    double data[CHANNELS];
};

// What reading a group gives: its rows, the comments kept and the failure.
struct Read {
    std::vector<Row> rows;
    Comments comments;
    std::string failure; // "" when the reading succeeded
};

// Reads the group `names` as the conversion does, block by block.
Read read_group(const Settings& s, const GroupNames& names) {
    Read r;
    GroupInputs in(*s.layout);
    if (Status st = open_inputs(in, names)) {
        r.failure = st->message;
        return r;
    }
    RowReader reader(s, in.slots, 0, false);
    RowBlock block;
    while (!reader.ended && !reader.failed) {
        const unsigned n = reader.read_block(block);
        for (unsigned j = 0; j < n; ++j) {
            Row row{};
            for (int c = 0; c < CHANNELS; ++c) {
                row.time[c] = block.time[s.layout->series > 1 ? c : 0][j];
                row.data[c] = block.value[c][j];
            }
            r.rows.push_back(row);
        }
    }
    if (!reader.failed) reader.lines_left();
    if (reader.failed) r.failure = reader.error;
    reader.keep_comments(r.comments);
    return r;
}

GroupNames names_of(const char* t, const char* a, const char* b, const char* c) {
    GroupNames n;
    n.input[0] = t;
    n.input[1] = a;
    n.input[2] = b;
    n.input[3] = c;
    return n;
}

class ReadInput : public ::testing::Test {
  protected:
    std::string file(const std::string& name, const std::string& contents) {
        return tmp_.write(name, contents);
    }
    Read read2(const std::string& a, const std::string& b, const std::string& c) {
        return read_group(two_, names_of(nullptr, file("a", a).c_str(), file("b", b).c_str(),
                                         file("c", c).c_str()));
    }
    Read read4(const std::string& name) {
        return read_group(four_, names_of(nullptr, name.c_str(), nullptr, nullptr));
    }
    Read read1(const std::string& t, const std::string& a, const std::string& b,
               const std::string& c, const Settings& s) {
        return read_group(s, names_of(t.c_str(), a.c_str(), b.c_str(), c.c_str()));
    }
    static Settings of_layout(const Layout& layout) {
        Settings s;
        s.layout = &layout;
        return s;
    }
    const Settings two_{}, four_ = of_layout(FOUR_COLUMN), one_ = of_layout(ONE_COLUMN);
    testfiles::TempDir tmp_{"velkor-read"};
    const std::string& dir_ = tmp_.path();
};

TEST_F(ReadInput, TwoColumnRowsAndSharedComment) {
    const std::string text = "!station x\n1 10\n2 20\n3 30\n";
    const Read r = read2(text, text, text);
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(r.rows[2].time[0], 3.0);
    EXPECT_EQ(r.rows[2].data[2], 30.0);
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(r.comments.line[k], "!station x");
    EXPECT_EQ(r.comments.line[0], "");
}

TEST_F(ReadInput, OnlyFirstOfACommentRunIsKeptAndCrLfIsRemoved) {
    const Read r = read2("!one\r\n!two\n!three\n5 6\n", "5 7\n", "5 8\n");
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.comments.line[1], "!one");
    EXPECT_EQ(r.rows[0].data[0], 6.0);
    EXPECT_EQ(r.rows[0].data[2], 8.0);
}

TEST_F(ReadInput, CommentsAnywhereReplaceTheSlot) {
    // A comment between data rows and one at the end of every file: reading
    // ends without error and the last comment stays in the slot.
    const Read r =
        read2("!first\n1 1\n!middle\n2 2\n!last\n", "1 1\n2 2\n!end b\n", "1 1\n2 2\n!end c\n");
    EXPECT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.comments.line[1], "!last");
    EXPECT_EQ(r.comments.line[3], "!end c");
    EXPECT_EQ(r.rows[1].data[0], 2.0);
}

TEST_F(ReadInput, ShortestFileEndsReadingAndLastLineNeedsNoLineEnd) {
    EXPECT_EQ(
        read2("1 1\n2 2\n3 3", "1 1\n2 2\n3 3\n4 4\n", "1 1\n2 2\n3 3\n4 4\n5 5\n").rows.size(),
        3u);
    EXPECT_EQ(read2("1 1\n2 2\n3 3\n4 4\n", "1 1\n2 2\n", "1 1\n2 2\n3 3\n").rows.size(), 2u);
}

TEST_F(ReadInput, CommentOnlyInputsGiveNoRows) {
    const Read r = read2("!a\n", "!b\n", "!c\n");
    EXPECT_EQ(r.rows.size(), 0u);
    EXPECT_EQ(r.comments.line[1], "!a");
    EXPECT_EQ(r.comments.line[3], "!c");
}

TEST_F(ReadInput, OneColumnLayoutTakesTimeFromTimeFile) {
    Settings minutes = one_;
    minutes.time_in_minutes = true;
    const Read r = read1(file("t", "!time comment\n1.5\n2\n"), file("a", "10\n20\n"),
                         file("b", "11\n21\n"), file("c", "12\n22\n"), minutes);
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.comments.line[0], "!time comment");
    EXPECT_EQ(r.rows[0].time[0], 90.0);
    EXPECT_EQ(r.rows[1].data[1], 21.0);
}

TEST_F(ReadInput, FourColumnLayout) {
    const Read r = read4(file("a", "100 1 2 3\n101\t4\t5\t6\n"));
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[1].time[0], 101.0);
    EXPECT_EQ(r.rows[1].data[0], 4.0);
    EXPECT_EQ(r.rows[1].data[2], 6.0);
}

TEST_F(ReadInput, LongLinesAreReadWhole) {
    // A 300-character comment is one comment; the header keeps its first
    // 255 characters and a warning says so, once per file. A data line of
    // 255 characters and its line feed is one row, and so is one with 30
    // fields more than the layout uses.
    const std::string comment = "!" + std::string(299, 'x');
    const std::string row255 = "7 8 9 10" + std::string(247, ' ') + "\n";
    std::string extra = "11 12 13 14";
    for (int i = 0; i < 30; ++i)
        extra += " 99999.12345";
    testing::internal::CaptureStderr();
    const Read r =
        read4(file("a", comment + "\r\n" + row255 + extra + "\n" + comment + "\n1 2 3 4\n"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: comment line in " + dir_ +
                  "/a is longer than 255 characters; the header keeps the first 255\n"
                  "Warning: " +
                  dir_ +
                  "/a has more columns than the -4 layout reads; only the first 4 of each line "
                  "are read\n  line 3: " +
                  extra.substr(0, 80) + "\n");
    EXPECT_EQ(r.comments.line[1], comment.substr(0, 255));
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(r.rows[0].time[0], 7.0);
    EXPECT_EQ(r.rows[0].data[2], 10.0);
    EXPECT_EQ(r.rows[1].time[0], 11.0);
    EXPECT_EQ(r.rows[1].data[2], 14.0);
    EXPECT_EQ(r.rows[2].data[2], 4.0);

    // The time file's comment never reaches a header: no warning for it.
    testing::internal::CaptureStderr();
    const Read t = read1(file("t", comment + "\n1\n"), file("v", "5\n"), file("w", "5\n"),
                         file("x", "5\n"), one_);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(t.comments.line[0].size(), 255u);
}

TEST_F(ReadInput, TimeChecksWarnOncePerChannelAndKeepRows) {
    testing::internal::CaptureStderr();
    const Read r = read2("0 1\n1 1\n2 1\n", "0 1\n0.5 1\n2.5 1\n", "0.5 1\n1.5 1\n2.5 1\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(err, "time difference between ch3 and ch1\ntime difference between ch2 and ch1\n");
}

TEST_F(ReadInput, EarlierTimesAndTinyDifferencesAreNotReported) {
    testing::internal::CaptureStderr();
    read2("1 1\n2 1\n", "0.5 1\n2.000005 1\n", "1.000009 1\n1 1\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ReadInput, RowsAcrossBlocksKeepTheirValuesAndLineNumbers) {
    // Rows of every layout over several reading blocks, most of them taken
    // straight from the block, others (a comment, a blank line, a time that
    // may be a date, a hexadecimal value, a carriage return) read line by
    // line; then a line at fault. Every value is the text's own, and the
    // error names the line where it stands.
    std::string four, two[3], one[4];
    std::vector<double> times, values;
    std::size_t lines = 0;
    for (std::size_t i = 0; four.size() < 2 * LineReader::BLOCK + 777; ++i) {
        const double t = 1700000000.0 + static_cast<double>(i) * 0.01;
        const double v = static_cast<double>(i % 2000) - 999.5;
        const std::string ts = strformat("%.14g", t), vs = strformat("%.9g", v / 7.0);
        const char* gap = i % 97 == 0 ? "!c\n\n" : i % 89 == 0 ? "  # x\n" : "";
        const char* end = i % 83 == 0 ? "\r\n" : "\n";
        const std::string vx = i % 101 == 0 ? "0x1p-2" : vs;
        four += gap + ts + " " + vx + "\t" + vx + " " + vx + end;
        for (std::string& f : two)
            f += ts + " " + vx + end + (&f == &two[1] ? gap : "");
        one[0] += gap + ts + end;
        for (int k = 1; k < 4; ++k)
            one[k] += (k == 3 ? gap : "") + vx + end;
        times.push_back(t);
        values.push_back(i % 101 == 0 ? 0.25 : std::strtod(vs.c_str(), nullptr));
        lines += 1 + (gap[0] == '!' ? 2 : gap[0] != 0 ? 1 : 0);
    }
    const auto check = [&](const Read& r, std::size_t line, const std::string& name) {
        ASSERT_EQ(r.rows.size(), times.size());
        for (std::size_t i = 0; i < times.size(); ++i) {
            ASSERT_EQ(r.rows[i].time[0], times[i]) << i;
            ASSERT_EQ(r.rows[i].data[2], values[i]) << i;
        }
        EXPECT_EQ(r.failure, "Not 4 columns in file " + dir_ + "/" + name + "\n  line " +
                                 std::to_string(line) + ": 1 2\n");
    };
    check(read4(file("four", four + "1 2\n")), lines + 1, "four");
    const Read r2 = read2(two[0] + "1700000000 1\n", two[1] + "1700000000 1\n", two[2] + "x\n");
    ASSERT_EQ(r2.rows.size(), times.size());
    EXPECT_EQ(r2.rows.back().data[1], values.back());
    EXPECT_EQ(r2.failure, "Not 2 columns in file " + dir_ + "/c. Rerun with -t timefile\n  line " +
                              std::to_string(times.size() + 1) + ": x\n");
    const Read r1 = read1(file("t", one[0]), file("v1", one[1]), file("v2", one[2]),
                          file("v3", one[3] + "1\n"), one_);
    ASSERT_EQ(r1.rows.size(), times.size());
    EXPECT_EQ(r1.rows.back().time[0], times.back());
    EXPECT_EQ(r1.rows[101].data[2], 0.25);
    EXPECT_EQ(r1.failure, "");
}

TEST_F(ReadInput, FailuresNameTheFileAndTheLine) {
    // Lines are counted from 1 in each file, comment lines included; when
    // channel 1 ends in a comment (or holds one only) while the others go
    // on, that comment line is shown. (A first line that is no number would
    // be a heading.) Files open in the order time file, channel 2, channel 3,
    // channel 1.
    const std::string d = dir_ + "/", good = "1 1\n";
    const std::string t = file("t", "1\n2\n"), v1 = file("v1", "1\n2\n"), v2 = file("v2", "1\nx\n"),
                      v3 = file("v3", "1\n-\n"), bad = file("bad", "1\n \t-\n"),
                      ok = file("ok", "1\n");
    const std::string missing1 = d + "no1", missing2 = d + "no2";
    const struct {
        Read read; // made in the order of the cases
        std::string failure;
    } cases[] = {
        {read2("1 1\n!last\n", "1 1\n2 2\n", "1 1\n2 2\n"),
         "Not 2 columns in file " + d + "a. Rerun with -t timefile\n  line 2: !last\n"},
        {read2("!only\n", "1 1\n", "1 1\n"),
         "Not 2 columns in file " + d + "a. Rerun with -t timefile\n  line 1: !only\n"},
        {read2("1 1\n\nx\n", "1 1\n2 2\n", "1 1\n2 2\n"),
         "Not 2 columns in file " + d + "a. Rerun with -t timefile\n  line 3: x\n"},
        {read2(good, "!c\n!d\n1 x\r\n", good),
         "Not 2 columns in file " + d + "b. Rerun with -t timefile\n  line 3: 1 x\\r\n"},
        {read4(file("f", "1 2 3\n")), "Not 4 columns in file " + d + "f\n  line 1: 1 2 3\n"},
        {read1(bad, v1, v2, v3, one_), "No data in timefile\n  line 2:  \\t-\n"},
        {read1(t, v1, v2, v3, one_), "No data in file for ch2 " + d + "v2\n  line 2: x\n"},
        {read1(t, v1, v1, v3, one_), "No data in file for ch3 " + d + "v3\n  line 2: -\n"},
        {read_group(two_, names_of(nullptr, missing1.c_str(), missing2.c_str(), ok.c_str())),
         "Can't open file " + missing2 + ": No such file or directory\n"},
        {read1(missing1, ok, missing2, ok, one_),
         "Can't open file " + missing1 + ": No such file or directory\n"},
        // A read error is not the end of the file.
        {read4(dir_), "Error reading file " + dir_ + ": Is a directory\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.read.failure, c.failure);
}

TEST(DisplayLine, EscapesWhatDoesNotPrintAndCutsAt80Bytes) {
    const struct {
        std::string line;
        std::string shown;
    } cases[] = {
        {"1 2 3\n", "1 2 3"},
        {"1,5;2\r\n", "1,5;2\\r"},
        {"a\tb\x01\x1f\x7f\n", "a\\tb\\x01\\x1f\\x7f"},
        {std::string("x\0y", 3), "x\\x00y"},
        {"\n\n", "\\x0a"}, // only the line's own line feed is dropped
        {"back\\slash", "back\\slash"},
        // UTF-8 text stays readable; bytes that do not form a character do
        // not: a lone continuation byte, Latin-1, a cut sequence, an overlong
        // form, a surrogate.
        {"23.5 \xc2\xb0"
         "C \xe2\x82\xac \xf0\x9f\x8c\x8b",
         "23.5 \xc2\xb0"
         "C \xe2\x82\xac \xf0\x9f\x8c\x8b"},
        {"\x80 caf\xe9 \xe2\x82", "\\x80 caf\\xe9 \\xe2\\x82"},
        {"\xc0\xaf \xed\xa0\x80", "\\xc0\\xaf \\xed\\xa0\\x80"},
        {std::string(100, '7'), std::string(80, '7')},
        // Cut at 80 bytes first: a character split there is shown in hex.
        {std::string(79, 'a') + "\xc2\xb0", std::string(79, 'a') + "\\xc2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(display_line(c.line), c.shown) << c.line;
}

TEST(DetectForm, TellsAvqFilesFromTextInputs) {
    std::string block_line = "28333333 32.25";
    for (int i = 0; i < 512; ++i)
        block_line += i % 3 == 0 ? " -0.5" : i % 3 == 1 ? " 1e-05" : " nan";
    const std::string text_row = "1700000000 0.5 0.25 0.125\n";
    const struct {
        std::string start;
        bool whole;
        avq::Detected form;
    } cases[] = {
        {"!S512 header\r\x01\x02", false, avq::Detected::binary},
        {"!S512 header\r", true, avq::Detected::binary}, // no block at all
        {"!S512 header\r", false, avq::Detected::text},  // what follows is unknown
        {"!comment\r\n" + text_row, true, avq::Detected::text},
        {"!comment\n" + text_row, true, avq::Detected::text},
        {"1 2 3 4\r5 6 7 8\r", true, avq::Detected::text}, // no "!" header
        {"!h\n" + block_line + "\n" + block_line + "\n", false, avq::Detected::ascii},
        {"!h\n" + block_line, true, avq::Detected::ascii},
        {"!h\n" + block_line, false, avq::Detected::text}, // the line may go on
        {"!h\n" + block_line + " 7\n", true, avq::Detected::text},
        {"!h\n" + block_line.substr(0, block_line.rfind(' ')) + " x\n", true, avq::Detected::text},
        {"!h\n" + block_line.substr(0, block_line.rfind(' ')) + "\n", true, avq::Detected::text},
        {"", true, avq::Detected::text},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(avq::detect_form(c.start, c.whole), c.form) << c.start.substr(0, 40);
    }
}

} // namespace
