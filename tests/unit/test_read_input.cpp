// Input reading: rows, comment capture, long lines, end of input, errors and
// the line they show, AVQ files refused as inputs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <avq/avq.h>

#include "../test_files.h"
#include "conversion_test.h"
#include "display_line.h"
#include "velkor.h"

namespace {

class ReadInput : public ConversionTest {
  protected:
    std::string file(const std::string& name, const std::string& contents) {
        return tmp_.write(name, contents);
    }
    void read2(const std::string& a, const std::string& b, const std::string& c) {
        samples.clear();
        n1 = 0;
        read_group(MODE_2_COLUMN, nullptr, file("a", a).c_str(), file("b", b).c_str(),
                   file("c", c).c_str());
    }
    testfiles::TempDir tmp_{"velkor-read"};
    const std::string& dir_ = tmp_.path();
};

using ReadInputDeathTest = ReadInput;

TEST_F(ReadInput, TwoColumnRowsAndSharedComment) {
    const std::string text = "!station x\n1 10\n2 20\n3 30\n";
    read2(text, text, text);
    ASSERT_EQ(n1, 3u);
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples[2].ch[0].time, 3.0);
    EXPECT_EQ(samples[2].ch[2].data, 30.0);
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(cline[k], "!station x");
    EXPECT_EQ(cline[0], "");
}

TEST_F(ReadInput, OnlyFirstOfACommentRunIsKeptAndCrLfIsRemoved) {
    read2("!one\r\n!two\n!three\n5 6\n", "5 7\n", "5 8\n");
    ASSERT_EQ(n1, 1u);
    EXPECT_EQ(cline[1], "!one");
    EXPECT_EQ(samples[0].ch[0].data, 6.0);
    EXPECT_EQ(samples[0].ch[2].data, 8.0);
}

TEST_F(ReadInput, CommentsAnywhereReplaceTheSlot) {
    // A comment between data rows and one at the end of every file: reading
    // ends without error and the last comment stays in the slot.
    read2("!first\n1 1\n!middle\n2 2\n!last\n", "1 1\n2 2\n!end b\n", "1 1\n2 2\n!end c\n");
    EXPECT_EQ(n1, 2u);
    EXPECT_EQ(cline[1], "!last");
    EXPECT_EQ(cline[3], "!end c");
    EXPECT_EQ(samples[1].ch[0].data, 2.0);
}

TEST_F(ReadInputDeathTest, ChannelOneEndingInCommentFailsWhenOthersGoOn) {
    // The slot still holds its last comment line: that line is shown.
    EXPECT_EXIT(read2("1 1\n!last\n", "1 1\n2 2\n", "1 1\n2 2\n"), testing::ExitedWithCode(1),
                "^Not 2 columns in file .*/a. Rerun with -t timefile\n  line 2: !last\n$");
}

TEST_F(ReadInput, ShortestFileEndsReadingAndLastLineNeedsNoLineEnd) {
    read2("1 1\n2 2\n3 3", "1 1\n2 2\n3 3\n4 4\n", "1 1\n2 2\n3 3\n4 4\n5 5\n");
    EXPECT_EQ(n1, 3u);
    read2("1 1\n2 2\n3 3\n4 4\n", "1 1\n2 2\n", "1 1\n2 2\n3 3\n");
    EXPECT_EQ(n1, 2u);
}

TEST_F(ReadInput, CommentOnlyInputsGiveNoRows) {
    read2("!a\n", "!b\n", "!c\n");
    EXPECT_EQ(n1, 0u);
    EXPECT_EQ(cline[1], "!a");
    EXPECT_EQ(cline[3], "!c");
}

TEST_F(ReadInput, OneColumnLayoutTakesTimeFromTimeFile) {
    time_in_minutes = 1;
    read_group(MODE_1_COLUMN, file("t", "!time comment\n1.5\n2\n").c_str(),
               file("a", "10\n20\n").c_str(), file("b", "11\n21\n").c_str(),
               file("c", "12\n22\n").c_str());
    ASSERT_EQ(n1, 2u);
    EXPECT_EQ(cline[0], "!time comment");
    EXPECT_EQ(samples[0].ch[0].time, 90.0);
    EXPECT_EQ(samples[0].ch[2].time, 90.0);
    EXPECT_EQ(samples[1].ch[1].data, 21.0);
}

TEST_F(ReadInput, FourColumnLayout) {
    read_group(MODE_4_COLUMN, nullptr, file("a", "100 1 2 3\n101\t4\t5\t6\n").c_str(), nullptr,
               nullptr);
    ASSERT_EQ(n1, 2u);
    EXPECT_EQ(samples[1].ch[0].time, 101.0);
    EXPECT_EQ(samples[1].ch[0].data, 4.0);
    EXPECT_EQ(samples[1].ch[2].data, 6.0);
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
    read_group(
        MODE_4_COLUMN, nullptr,
        file("a", comment + "\r\n" + row255 + extra + "\n" + comment + "\n1 2 3 4\n").c_str(),
        nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: comment line in " + dir_ +
                  "/a is longer than 255 characters; the header keeps the first 255\n"
                  "Warning: " +
                  dir_ +
                  "/a has more columns than the -4 layout reads; only the first 4 of each line "
                  "are read\n  line 3: " +
                  extra.substr(0, 80) + "\n");
    EXPECT_EQ(cline[1], comment.substr(0, 255));
    ASSERT_EQ(n1, 3u);
    EXPECT_EQ(samples[0].ch[0].time, 7.0);
    EXPECT_EQ(samples[0].ch[2].data, 10.0);
    EXPECT_EQ(samples[1].ch[0].time, 11.0);
    EXPECT_EQ(samples[1].ch[2].data, 14.0);
    EXPECT_EQ(samples[2].ch[2].data, 4.0);

    // The time file's comment never reaches a header: no warning for it.
    testing::internal::CaptureStderr();
    read_group(MODE_1_COLUMN, file("t", comment + "\n1\n").c_str(), file("v", "5\n").c_str(),
               file("w", "5\n").c_str(), file("x", "5\n").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(cline[0].size(), 255u);
}

TEST_F(ReadInput, TimeChecksWarnOncePerChannelAndKeepRows) {
    testing::internal::CaptureStderr();
    read2("0 1\n1 1\n2 1\n", "0 1\n0.5 1\n2.5 1\n", "0.5 1\n1.5 1\n2.5 1\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(n1, 3u);
    EXPECT_EQ(err, "time difference between ch3 and ch1\ntime difference between ch2 and ch1\n");
}

TEST_F(ReadInput, EarlierTimesAndTinyDifferencesAreNotReported) {
    testing::internal::CaptureStderr();
    read2("1 1\n2 1\n", "0.5 1\n2.000005 1\n", "1.000009 1\n1 1\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ReadInputDeathTest, ParseErrorsNameTheFileAndTheLine) {
    // Lines are counted from 1 in each file, comment lines included.
    const std::string good = "1 1\n";
    EXPECT_EXIT(read2("1 1\n\nx\n", "1 1\n2 2\n", "1 1\n2 2\n"), testing::ExitedWithCode(1),
                "^Not 2 columns in file .*/a. Rerun with -t timefile\n  line 3: x\n$");
    EXPECT_EXIT(read2(good, "!c\n!d\n1 x\r\n", good), testing::ExitedWithCode(1),
                "^Not 2 columns in file .*/b. Rerun with -t timefile\n  line 3: 1 x\\\\r\n$");
    EXPECT_EXIT(read_group(MODE_4_COLUMN, nullptr, file("f", "1 2 3\n").c_str(), nullptr, nullptr),
                testing::ExitedWithCode(1), "^Not 4 columns in file .*/f\n  line 1: 1 2 3\n$");
}

TEST_F(ReadInputDeathTest, OneColumnErrorsInParseOrder) {
    // (A first line that is no number would be a heading.)
    const std::string t = file("t", "1\n2\n"), a = file("a", "1\n2\n"), b = file("b", "1\nx\n"),
                      c = file("c", "1\n-\n"), bad = file("bad", "1\n \t-\n");
    EXPECT_EXIT(read_group(MODE_1_COLUMN, bad.c_str(), a.c_str(), b.c_str(), c.c_str()),
                testing::ExitedWithCode(1), "^No data in timefile\n  line 2:  \\\\t-\n$");
    EXPECT_EXIT(read_group(MODE_1_COLUMN, t.c_str(), a.c_str(), b.c_str(), c.c_str()),
                testing::ExitedWithCode(1), "^No data in file for ch2 .*/b\n  line 2: x\n$");
    EXPECT_EXIT(read_group(MODE_1_COLUMN, t.c_str(), a.c_str(), a.c_str(), c.c_str()),
                testing::ExitedWithCode(1), "^No data in file for ch3 .*/c\n  line 2: -\n$");
}

TEST_F(ReadInputDeathTest, ChannelOneCommentOnlyFailsBesideData) {
    EXPECT_EXIT(read2("!only\n", "1 1\n", "1 1\n"), testing::ExitedWithCode(1),
                "^Not 2 columns in file .*/a. Rerun with -t timefile\n  line 1: !only\n$");
}

TEST_F(ReadInputDeathTest, OpeningOrderIsTimeThenChannel2Channel3Channel1) {
    const std::string missing1 = dir_ + "/no1", missing2 = dir_ + "/no2";
    const std::string ok = file("ok", "1\n");
    EXPECT_EXIT(read_group(MODE_2_COLUMN, nullptr, missing1.c_str(), missing2.c_str(), ok.c_str()),
                testing::ExitedWithCode(1),
                "^Can't open file .*/no2: No such file or directory\n$");
    EXPECT_EXIT(
        read_group(MODE_1_COLUMN, missing1.c_str(), ok.c_str(), missing2.c_str(), ok.c_str()),
        testing::ExitedWithCode(1), "^Can't open file .*/no1: No such file or directory\n$");
    EXPECT_EXIT(read_group(7, nullptr, ok.c_str(), nullptr, nullptr), testing::ExitedWithCode(1),
                "^Unknown mode: 7\n$");
}

TEST_F(ReadInputDeathTest, ReadErrorIsNotEndOfFile) {
    EXPECT_EXIT(read_group(MODE_4_COLUMN, nullptr, dir_.c_str(), nullptr, nullptr),
                testing::ExitedWithCode(1), "^Error reading file .*: Is a directory\n$");
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
